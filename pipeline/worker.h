// The worker that runs RunInstaller off the window thread, and the manifest
// thread that loads the release manifest for the interactive window.
#pragma once

#include <windows.h>

namespace quilmo {

// Starts a worker running RunInstaller; false when no thread was created.
// The caller has set busy.
bool StartWorker();

// Routine of the interactive mode's short-lived manifest thread.
DWORD WINAPI ManifestThread(LPVOID);

// Whether the manifest thread has not yet ended.
bool ManifestThreadRunning();

// Starts the manifest thread and lets it go (its handle is closed at once).
bool StartManifestThread();

}  // namespace quilmo
