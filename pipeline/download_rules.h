// The arithmetic of verifying and downloading a release's files: progress,
// when a tip replaces the file name, and how many failures a run tolerates.
// Plain logic, no Windows.
#pragma once

#include <cstddef>

namespace quilmo {

// 0..50 % while present files are checked: after entry index (from 0).
int VerifyProgress(size_t index, size_t entryCount);

// 50..75 % while needed files are downloaded.
int DownloadProgress(size_t downloaded, size_t neededCount);

// Every 20th successful download the status line shows a tip instead.
bool ShowsTipBeforeNextFile(size_t downloaded);

// With fewer than 10 files to fetch the third failure ends the run, with 10
// or more the sixth.
bool TooManyDownloadFailures(size_t failures, size_t neededCount);

}  // namespace quilmo
