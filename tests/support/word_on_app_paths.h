// A host program placed for one test: a copy of the 32-bit or 64-bit test
// program as winword.exe behind Word's App Paths in the user's hive.
#pragma once

#include <windows.h>

#include <string>

#include "support/host_probe.h"
#include "support/scratch_dir.h"
#include "support/test_registry_key.h"

namespace quilmo {
namespace testing_support {

// A program of the given bitness behind Word's App Paths: evidence of an
// Office host, as the VSTO runtime check sees it.
class WordOnAppPaths {
public:
    WordOnAppPaths(const std::wstring& directory, int bits)
        : key_(HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\winword.exe", 0) {
        MakeDirectories(directory);
        const std::wstring word = directory + L"\\winword.exe";
        CopyFileW((HostFixtureDir() + L"\\host_probe" + std::to_wstring(bits) + L".exe").c_str(),
                  word.c_str(), FALSE);
        key_.SetString(L"", word);
    }

private:
    TestRegistryKey key_;
};

}  // namespace testing_support
}  // namespace quilmo
