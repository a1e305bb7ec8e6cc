#include "pipeline/worker.h"

#include <atomic>
#include <string>

#include "files/text_encoding.h"
#include "manifest/manifest_fetch.h"
#include "manifest/manifest_reader.h"
#include "pipeline/installer_state.h"
#include "pipeline/reporting.h"
#include "pipeline/run_installer.h"
#include "registration/installed_version.h"
#include "startup/fatal_error.h"
#include "startup/installer_log.h"

namespace quilmo {

namespace {

std::atomic<bool> g_manifestThreadRunning{false};

DWORD WINAPI WorkerRoutine(LPVOID) { return static_cast<DWORD>(RunGuarded("worker", RunInstaller)); }

void StoreInstalledVersion() {
    InstalledVersion installed = FindInstalledVersion();
    State().installedVersion.Set(installed.version);
    State().existingInstall = installed.found || !installed.directory.empty();
}

void AcceptManifest(const std::string& manifest) {
    InstallerState& state = State();
    state.cachedManifest = manifest;
    std::string name = GetManifestValue(manifest, "AppName");
    std::string description = GetManifestValue(manifest, "AppDes");
    std::string version = GetManifestValue(manifest, "Vison");
    state.manifestVersion.Set(version);
    if (!name.empty()) state.appName.Set(Utf8ToWide(name));
    if (!description.empty()) state.appDescription.Set(Utf8ToWide(description));
    StoreInstalledVersion();
    Reporter().Offer({state.existingInstall, state.installedVersion.Get(), version});
    state.manifestReady = true;
    Reporter().Buttons(StartButtons::Ready);
}

void RejectManifest(const std::wstring& message) {
    State().manifestFailed = true;
    WriteLog("FetchManifest failed: " + WideToUtf8(message));
    if (Reporter().Watched()) Reporter().Box(message, L"更新清单验证失败", MB_ICONERROR);
    Reporter().Buttons(StartButtons::ManifestFailed);
}

}  // namespace

bool StartWorker() {
    InstallerState& state = State();
    if (state.workerThread) {
        WaitForSingleObject(state.workerThread.get(), 5000);
        state.workerThread.reset();
    }
    state.cancelRequested = false;
    state.completed = false;
    state.exitCode = 0;
    state.workerThread.reset(CreateThread(nullptr, 0, WorkerRoutine, nullptr, 0, nullptr));
    return state.workerThread.valid();
}

DWORD WINAPI ManifestThread(LPVOID) {
    Sleep(300);
    if (Reporter().Watched()) {
        RunGuarded("manifest", [] {
            std::string manifest;
            std::wstring message;
            if (FetchManifest(manifest, message)) {
                AcceptManifest(manifest);
            } else {
                RejectManifest(message);
            }
            return 0;
        });
    }
    g_manifestThreadRunning = false;
    return 0;
}

bool ManifestThreadRunning() { return g_manifestThreadRunning; }

bool StartManifestThread() {
    g_manifestThreadRunning = true;
    UniqueHandle thread(CreateThread(nullptr, 0, ManifestThread, nullptr, 0, nullptr));
    if (!thread) g_manifestThreadRunning = false;
    return thread.valid();
}

}  // namespace quilmo
