// Installations by the real installer under Wine, against releases that the
// publishing tool made and the local server serves on the installer's own
// download port: the files land verified in their version directory, updates
// fetch only what changed, and every abort happens before harm is done.
#include <windows.h>
#include <psapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "manifest/manifest_reader.h"
#include "manifest/sha256.h"
#include "startup/installer_log.h"
#include "support/entry_path_table.h"
#include "support/install_places.h"
#include "support/log_reader.h"
#include "support/release_server.h"
#include "support/scratch_dir.h"
#include "support/setup_process.h"

namespace quilmo::test {
namespace {

using testing_support::ListNames;
using testing_support::RemoveTree;


std::string ReadAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Every file below dir, as paths relative to it.
void ListFiles(const std::wstring& dir, const std::wstring& prefix, std::vector<std::wstring>& out) {
    for (const auto& [name, attributes] : ListNames(dir)) {
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            ListFiles(dir + L"\\" + name, prefix + name + L"\\", out);
        } else {
            out.push_back(prefix + name);
        }
    }
}

// Top-level entries of the base directory.
std::set<std::wstring> BaseEntries() {
    std::wstring base = BaseDir();
    std::set<std::wstring> names;
    for (const auto& entry : ListNames(base.substr(0, base.size() - 1))) names.insert(entry.first);
    return names;
}

struct Release {
    std::string version;
    std::vector<ManifestFileEntry> entries;
};

Release ServedRelease(const std::string& caseName) {
    std::string manifest = ReadAll(ReleaseServer::StatePath("www/install/" + caseName + "/install.json"));
    Release release;
    release.version = GetManifestValue(manifest, "Vison");
    std::string badPath, badHash;
    EXPECT_TRUE(ReadFileEntries(manifest, release.version, "https://localhost/", release.entries, badPath, badHash));
    return release;
}

// The request name of a payload file, as the publishing tool lays it out.
std::string ServedName(const Release& release, const ManifestFileEntry& entry) {
    std::string name = "/files/" + release.version + "/" + entry.path;
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

std::map<std::string, int> PayloadRequestCounts() {
    std::map<std::string, int> counts;
    for (const ServerRequest& request : ReleaseServer::ReleaseRequests()) {
        if (request.name.rfind("/files/", 0) == 0) ++counts[request.name];
    }
    return counts;
}

bool HasLine(const std::vector<std::string>& log, const std::string& line) {
    return std::find(log.begin(), log.end(), line) != log.end();
}

size_t CountPrefix(const std::vector<std::string>& log, const std::string& prefix) {
    return std::count_if(log.begin(), log.end(), [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
}

// The value of the first line that starts with the prefix.
std::string ValueAfter(const std::vector<std::string>& log, const std::string& prefix) {
    for (const std::string& m : log) {
        if (m.rfind(prefix, 0) == 0) return m.substr(prefix.size());
    }
    return std::string();
}

// The lines appear in this order (others may stand between them).
void ExpectInOrder(const std::vector<std::string>& log, const std::vector<std::string>& lines) {
    auto at = log.begin();
    for (const std::string& line : lines) {
        at = std::find(at, log.end(), line);
        ASSERT_NE(at, log.end()) << "missing or out of order: " << line;
    }
}

void SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// What an earlier installation leaves for the next run to find.
void RecordInstalled(const std::string& version, const std::wstring& directory) {
    UniqueRegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    SetString(key.get(), L"DisplayVersion", Utf8ToWide(version));
    SetString(key.get(), L"InstallLocation", directory);
}

void ForgetInstallation() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kUninstallKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, kProductKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kProductKey);
}

class InstallRun : public testing::Test {
protected:
    void SetUp() override {
        TrustTestRootCa();
        Reset();
    }
    void TearDown() override { Reset(); }

    static void Reset() {
        ReleaseServer::UseInstallRelease("");
        ReleaseServer::Script("{}");
        ReleaseServer::ClearRequests();
        ForgetInstallation();
        std::wstring base = BaseDir();
        RemoveTree(base.substr(0, base.size() - 1));
    }

    // A silent run of the given release; returns its exit code.
    static int SilentInstall(const std::string& caseName) {
        ReleaseServer::UseInstallRelease(caseName);
        return RunSetup({L"/silent"}, 120000);
    }

    static void ExpectVerifiedFiles(const Release& release, const std::wstring& target) {
        for (const ManifestFileEntry& entry : release.entries) {
            std::wstring path = target + Utf8ToWide(entry.path);
            EXPECT_EQ(Sha256OfFile(path), entry.hash) << entry.path;
        }
    }
};

TEST_F(InstallRun, FreshInstallPlacesEveryListedFileVerifiedWithOneRequestEach) {
    Release release = ServedRelease("v1");
    ASSERT_EQ(release.entries.size(), 5u);
    // These releases carry no complete add-in: with every file in place the
    // payload check still refuses to register them.
    EXPECT_EQ(SilentInstall("v1"), 1);

    std::vector<std::string> log = LogMessages();
    std::wstring target = BaseDir() + L"2026.1.10\\";
    ExpectInOrder(log, {"RunInstaller begin", "manifest version=2026.1.10", "target path=" + WideToUtf8(target),
                        // The silent run's unique directory exists once allocated.
                        "create target dir result=183", "download needed count=5", "download failed count=0",
                        "payload mode=invalid-com detail=核心配置文件 Quilmo.Core.dll.config 缺失或下载校验失败。",
                        "silent RunInstaller returned code=1"});
    EXPECT_FALSE(HasLine(log, "old-version gc base lock not acquired before staging (non-blocking; will skip "
                              "end-of-install gc)"));
    ExpectVerifiedFiles(release, target);

    std::map<std::string, int> expected;
    for (const ManifestFileEntry& entry : release.entries) expected[ServedName(release, entry)] = 1;
    EXPECT_EQ(PayloadRequestCounts(), expected);

    // Nothing but the version directory, the log and the lock file.
    EXPECT_EQ(BaseEntries(), (std::set<std::wstring>{L"2026.1.10", L"installer-auto.log", L".qm_gc.lock"}));
    std::vector<std::wstring> files;
    ListFiles(target.substr(0, target.size() - 1), L"", files);
    EXPECT_EQ(files.size(), release.entries.size());
}

TEST_F(InstallRun, UpdateCopiesThePreviousVersionAndFetchesOnlyChangedFiles) {
    ASSERT_EQ(SilentInstall("v1"), 1);
    std::wstring previous = BaseDir() + L"2026.1.10\\";
    RecordInstalled("2026.1.10", previous);
    Release v1 = ServedRelease("v1");
    Release v2 = ServedRelease("v2");
    std::map<std::string, std::string> oldHashes;
    for (const ManifestFileEntry& entry : v1.entries) oldHashes[entry.path] = entry.hash;
    std::set<std::string> changed;
    for (const ManifestFileEntry& entry : v2.entries) {
        if (oldHashes[entry.path] != entry.hash) changed.insert(ServedName(v2, entry));
    }
    ASSERT_EQ(changed.size(), 3u);

    for (int run = 0; run < 2; ++run) {
        ReleaseServer::ClearRequests();
        EXPECT_EQ(SilentInstall("v2"), 1);
        std::vector<std::string> log = LogMessages();
        ExpectInOrder(log, {"installed version=2026.1.10", "installed path=" + WideToUtf8(previous),
                            "copy old version begin", "copy old version result=true", "download needed count=3",
                            "download failed count=0"});
        std::string target = ValueAfter(log, "target path=");
        // Unattended runs always stage into a directory they created themselves.
        std::string plain = WideToUtf8(BaseDir()) + "2026.2.1\\";
        if (run == 0) {
            EXPECT_EQ(target, plain);
        } else {
            EXPECT_TRUE(std::regex_match(target, std::regex(std::regex_replace(plain.substr(0, plain.size() - 1),
                                                                               std::regex(R"([\\.])"), R"(\$&)") +
                                                            "_[0-9a-f]{8}\\\\")))
                << target;
        }
        ExpectVerifiedFiles(v2, Utf8ToWide(target));
        std::map<std::string, int> counts = PayloadRequestCounts();
        std::set<std::string> requested;
        for (const auto& [name, count] : counts) {
            EXPECT_EQ(count, 1) << name;
            requested.insert(name);
        }
        EXPECT_EQ(requested, changed);
    }
    // The previous version is left as it was.
    ExpectVerifiedFiles(v1, previous);
}

struct FailureCase {
    const char* release;
    int notFound;   // files the server answers 404 for
    int corrupted;  // files the server answers with other bytes of the listed length
    bool aborts;
};

class DownloadFailures : public InstallRun, public testing::WithParamInterface<FailureCase> {};

TEST_P(DownloadFailures, AbortAtTheThresholdOrGoOnAndCount) {
    const FailureCase& c = GetParam();
    Release release = ServedRelease(c.release);
    std::string script = "{";
    std::vector<std::string> corruptedPaths;
    for (int i = 0; i < c.notFound + c.corrupted; ++i) {
        const ManifestFileEntry& entry = release.entries[i];
        if (i > 0) script += ",";
        if (i < c.notFound) {
            script += "\"" + ServedName(release, entry) + "\": {\"status\": 404}";
        } else {
            // Of the listed length, so that the download succeeds and the hash refuses it.
            ASSERT_TRUE(entry.size.has_value()) << entry.path;
            script += "\"" + ServedName(release, entry) + "\": {\"body\": \"" + std::string(*entry.size, 'x') + "\"}";
            corruptedPaths.push_back(entry.path);
        }
    }
    ReleaseServer::Script(script + "}");

    EXPECT_EQ(SilentInstall(c.release), 1);
    std::vector<std::string> log = LogMessages();
    EXPECT_EQ(CountPrefix(log, "download failed="), static_cast<size_t>(c.notFound));
    EXPECT_EQ(CountPrefix(log, "hash failed="), static_cast<size_t>(c.corrupted));
    std::wstring target = Utf8ToWide(ValueAfter(log, "target path="));
    for (const std::string& path : corruptedPaths) {
        EXPECT_EQ(GetFileAttributesW((target + Utf8ToWide(path)).c_str()), INVALID_FILE_ATTRIBUTES)
            << "a file that failed its hash must not stay: " << path;
    }
    if (c.aborts) {
        EXPECT_EQ(CountPrefix(log, "download failed count="), 0u);
        // The run stopped at the failure that crossed the line.
        EXPECT_LT(PayloadRequestCounts().size(), release.entries.size());
    } else {
        EXPECT_TRUE(HasLine(log, "download failed count=" + std::to_string(c.notFound + c.corrupted)));
        EXPECT_EQ(PayloadRequestCounts().size(), release.entries.size());
    }
    std::vector<std::wstring> files;
    ListFiles(target.substr(0, target.size() - 1), L"", files);
    for (const std::wstring& file : files) {
        EXPECT_EQ(file.find(L".__qmdl_"), std::wstring::npos) << "temporary download left: " << WideToUtf8(file);
    }
}

INSTANTIATE_TEST_SUITE_P(Thresholds, DownloadFailures,
                         testing::Values(FailureCase{"nine", 2, 1, true},     // fewer than 10: the third ends it
                                         FailureCase{"nine", 1, 1, false},    // two are tolerated
                                         FailureCase{"ten", 2, 1, false},     // 10 or more: three go on
                                         FailureCase{"ten", 3, 3, true},      // the sixth ends it
                                         FailureCase{"twelve", 3, 2, false}),  // five are the most tolerated
                         [](const testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.release) + "_" + std::to_string(info.param.notFound) +
                                    "_missing_" + std::to_string(info.param.corrupted) + "_corrupt";
                         });

struct AbortCase {
    const char* release;
    const char* logPrefix;
    bool stagesDirectory;  // the abort comes after the version directory exists
};

class EarlyAborts : public InstallRun, public testing::WithParamInterface<AbortCase> {};

TEST_P(EarlyAborts, StopBeforeAnyPayloadFileIsRequested) {
    const AbortCase& c = GetParam();
    EXPECT_EQ(SilentInstall(c.release), 1);
    std::vector<std::string> log = LogMessages();
    EXPECT_EQ(CountPrefix(log, c.logPrefix), 1u) << c.logPrefix;
    EXPECT_EQ(log.back(), "silent RunInstaller returned code=1");
    EXPECT_EQ(CountPrefix(log, "download needed count="), 0u);
    EXPECT_TRUE(PayloadRequestCounts().empty());
    std::set<std::wstring> entries = BaseEntries();
    entries.erase(L"installer-auto.log");
    entries.erase(L".qm_gc.lock");
    EXPECT_EQ(entries.size(), c.stagesDirectory ? 1u : 0u);
    // Nothing climbed out of the version directory.
    EXPECT_EQ(GetFileAttributesW((BaseDir() + L"outside.dll").c_str()), INVALID_FILE_ATTRIBUTES);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, EarlyAborts,
    testing::Values(AbortCase{"offline", "manifest fetch/verify failed: ", false},
                    AbortCase{"tampered", "manifest fetch/verify failed: ", false},
                    AbortCase{"nosig", "manifest fetch/verify failed: ", false},
                    AbortCase{"unsafe", "abort: invalid manifest file entry path=..\\outside.dll hash=", true},
                    AbortCase{"empty", "file list empty", true},
                    AbortCase{"badversion", "failed to allocate unique staging directory", false}),
    [](const testing::TestParamInfo<AbortCase>& info) { return std::string(info.param.release); });

// Each name Windows cannot hold as listed (a device, a trailing dot or
// blank, an empty component, a wildcard or control character), alone in a
// signed release: refused before anything is fetched, where it used to hang
// on a device or write the payload into one.
TEST_F(InstallRun, EntryNamesWindowsCannotHoldEndTheRunBeforeAnyDownload) {
    for (const EntryPathRow& row : EntryPathTable()) {
        if (row.accepted) continue;
        SCOPED_TRACE("entry_paths.txt line " + std::to_string(row.line) + ": " + row.path);
        Reset();
        ReleaseServer::UseInstallRelease("badname_" + std::to_string(row.line));
        ASSERT_EQ(RunSetup({L"/silent"}, 30000), 1);
        std::vector<std::string> log = LogMessages();
        EXPECT_EQ(CountPrefix(log, "abort: invalid manifest file entry path=" + WithBackslashes(row.path) + " hash="), 1u);
        EXPECT_EQ(log.back(), "silent RunInstaller returned code=1");
        EXPECT_EQ(CountPrefix(log, "download needed count="), 0u);
        EXPECT_TRUE(PayloadRequestCounts().empty());
    }
}

TEST_F(InstallRun, EntryNamesWindowsHoldsAreInstalledUnderThoseNames) {
    Release release = ServedRelease("goodnames");
    std::vector<EntryPathRow> rows = EntryPathTable();
    ASSERT_EQ(release.entries.size(),
              static_cast<size_t>(std::count_if(rows.begin(), rows.end(), [](const EntryPathRow& r) { return r.accepted; })));
    EXPECT_EQ(SilentInstall("goodnames"), 1);
    std::vector<std::string> log = LogMessages();
    std::wstring target = BaseDir() + L"2026.7.1\\";
    ExpectInOrder(log, {"target path=" + WideToUtf8(target), "download needed count=" + std::to_string(release.entries.size()),
                        "download failed count=0"});
    ExpectVerifiedFiles(release, target);
    std::vector<std::wstring> files;
    ListFiles(target.substr(0, target.size() - 1), L"", files);
    std::set<std::string> listed, found;
    for (const ManifestFileEntry& entry : release.entries) listed.insert(entry.path);
    for (const std::wstring& file : files) found.insert(WideToUtf8(file));
    EXPECT_EQ(found, listed);
}

// ---- A hostile server ----

// Runs the installer silently and samples its peak working set until it
// ends (the counters are gone once the process is).
int SilentRunMeasuringPeak(const std::string& caseName, SIZE_T& peak) {
    ReleaseServer::UseInstallRelease(caseName);
    RunningSetup setup = StartSetup({L"/silent"});
    peak = 0;
    const DWORD start = GetTickCount();
    for (;;) {
        PROCESS_MEMORY_COUNTERS counters = {};
        counters.cb = sizeof(counters);
        if (GetProcessMemoryInfo(setup.process.get(), &counters, sizeof(counters))) {
            peak = std::max(peak, counters.PeakWorkingSetSize);
        }
        if (WaitForSingleObject(setup.process.get(), 20) == WAIT_OBJECT_0) break;
        if (GetTickCount() - start > 120000) break;
    }
    return WaitForExit(setup, 1000);
}

std::string LowerSha256OfServed(const std::string& relativePath) {
    return Sha256OfFile(ReleaseServer::StatePath("www/install/" + relativePath));
}

struct EndlessCase {
    const char* name;
    std::vector<std::string> endlessPaths;  // relative to the release; "{digest}" for the signature named by it
    const char* logLine;
};

class EndlessBodies : public InstallRun, public testing::WithParamInterface<EndlessCase> {};

// A manifest or signature that never ends used to fill memory until the
// process died with a code that reads as another outcome.
TEST_P(EndlessBodies, EndTheRunWithOneInBoundedMemory) {
    const EndlessCase& c = GetParam();
    std::string script = "{";
    for (const std::string& path : c.endlessPaths) {
        std::string served = std::regex_replace(path, std::regex("\\{digest\\}"), LowerSha256OfServed("v1/install.json"));
        script += (script.size() > 1 ? "," : "") + ("\"" + served + "\": {\"endless\": true}");
    }
    ReleaseServer::Script(script + "}");
    SIZE_T peak = 0;
    EXPECT_EQ(SilentRunMeasuringPeak("v1", peak), 1);
    std::vector<std::string> log = LogMessages();
    EXPECT_TRUE(HasLine(log, c.logLine));
    EXPECT_EQ(log.back(), "silent RunInstaller returned code=1");
    EXPECT_TRUE(PayloadRequestCounts().empty());
    ASSERT_GT(peak, 0u) << "the peak working set could not be read";
    EXPECT_LT(peak, 64u << 20);
    std::printf("[ measured ] %s: peak working set %.1f MiB\n", c.name, peak / 1048576.0);
    // One request per body: a body over its bound is the server's answer,
    // so no other route fetches it again.
    size_t endlessRequests = 0;
    for (const ServerRequest& request : ReleaseServer::ReleaseRequests()) {
        for (const std::string& path : c.endlessPaths) {
            if (path.find("{digest}") != std::string::npos ? request.path.rfind("/manifest-sigs/", 0) == 0
                                                            : request.path == path) {
                ++endlessRequests;
            }
        }
    }
    EXPECT_EQ(endlessRequests, c.endlessPaths.size());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EndlessBodies,
    testing::Values(EndlessCase{"Manifest", {"/install.json"},
                                "manifest fetch/verify failed: 无法连接到服务器，请检查网络连接。"},
                    EndlessCase{"Signature", {"/manifest-sigs/{digest}.sig", "/install.json.sig"},
                                "manifest fetch/verify failed: 更新清单签名文件（install.json.sig）缺失或下载失败，已拒绝继续安装。"}),
    [](const testing::TestParamInfo<EndlessCase>& info) { return std::string(info.param.name); });

// A file that never ends, and one longer than its listed size, are failed
// downloads under the usual thresholds, and leave nothing behind.
TEST_F(InstallRun, FilesLongerThanListedAreFailedDownloadsThatLeaveNothing) {
    Release release = ServedRelease("v1");
    ASSERT_EQ(release.entries.size(), 5u);
    for (const ManifestFileEntry& entry : release.entries) {
        ASSERT_TRUE(entry.size.has_value()) << "the publishing tool lists every size: " << entry.path;
    }
    const ManifestFileEntry& endless = release.entries[0];
    const ManifestFileEntry& longer = release.entries[1];
    ReleaseServer::Script("{\"" + ServedName(release, endless) + "\": {\"endless\": true}, \"" +
                          ServedName(release, longer) + "\": {\"extra\": 1, \"announce\": \"none\"}}");
    EXPECT_EQ(SilentInstall("v1"), 1);
    std::vector<std::string> log = LogMessages();
    EXPECT_TRUE(HasLine(log, "download failed=" + endless.path));
    EXPECT_TRUE(HasLine(log, "download failed=" + longer.path));
    EXPECT_TRUE(HasLine(log, "download failed count=2"));
    std::wstring target = BaseDir() + L"2026.1.10\\";
    EXPECT_EQ(GetFileAttributesW((target + Utf8ToWide(endless.path)).c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((target + Utf8ToWide(longer.path)).c_str()), INVALID_FILE_ATTRIBUTES);
    for (size_t i = 2; i < release.entries.size(); ++i) {
        EXPECT_EQ(Sha256OfFile(target + Utf8ToWide(release.entries[i].path)), release.entries[i].hash);
    }
    std::vector<std::wstring> files;
    ListFiles(target.substr(0, target.size() - 1), L"", files);
    EXPECT_EQ(files.size(), 3u);
    for (const std::wstring& file : files) EXPECT_EQ(file.find(L".__qmdl_"), std::wstring::npos) << WideToUtf8(file);
    // Each failed file was asked for once: a body over its bound is the
    // server's answer, and no other route fetches it again.
    std::map<std::string, int> counts = PayloadRequestCounts();
    EXPECT_EQ(counts[ServedName(release, endless)], 1);
    EXPECT_EQ(counts[ServedName(release, longer)], 1);
}

TEST_F(InstallRun, BaseLockHeldElsewhereIsLoggedAndTheRunGoesOn) {
    std::wstring base = BaseDir();
    int created = SHCreateDirectoryExW(nullptr, base.c_str(), nullptr);
    ASSERT_TRUE(created == ERROR_SUCCESS || created == ERROR_ALREADY_EXISTS) << created;
    UniqueFile lock(CreateFileW((base + L".qm_gc.lock").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock.valid());
    EXPECT_EQ(SilentInstall("v1"), 1);
    std::vector<std::string> log = LogMessages();
    ExpectInOrder(log, {"old-version gc base lock not acquired before staging (non-blocking; will skip end-of-install gc)",
                        "target path=" + WideToUtf8(base) + "2026.1.10\\", "download failed count=0"});
}

TEST_F(InstallRun, ClosingTheWindowDuringDownloadsStopsAtTheNextFile) {
    Release release = ServedRelease("v1");
    std::string script = "{";
    for (size_t i = 0; i < release.entries.size(); ++i) {
        script += (i ? "," : "") + std::string("\"") + ServedName(release, release.entries[i]) +
                  "\": {\"stall_ms\": 2500}";
    }
    ReleaseServer::Script(script + "}");
    ReleaseServer::UseInstallRelease("v1");
    RunningSetup setup = StartSetup({L"/auto"});
    HWND window = WaitForInstallerWindow(setup.processId, 20000);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitForLogMessage("download needed count=", 60000));
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(setup, 30000), 1);
    std::vector<std::string> log = LogMessages();
    EXPECT_EQ(CountPrefix(log, "download failed count="), 0u);
    EXPECT_LT(PayloadRequestCounts().size(), release.entries.size());
    // Files fetched ahead of the one the run stopped at leave nothing behind.
    std::wstring target = Utf8ToWide(ValueAfter(log, "target path="));
    ASSERT_FALSE(target.empty());
    std::vector<std::wstring> files;
    ListFiles(target.substr(0, target.size() - 1), L"", files);
    for (const std::wstring& file : files) {
        EXPECT_EQ(file.find(L".__qmdl_"), std::wstring::npos) << "temporary download left: " << WideToUtf8(file);
    }
}

TEST_F(InstallRun, DuplicateEntriesAndLongChinesePathsNeverEscapeOrLeavePartialFiles) {
    Release release = ServedRelease("dupes");
    EXPECT_EQ(SilentInstall("dupes"), 1);
    std::vector<std::string> log = LogMessages();
    std::wstring target = BaseDir() + L"2026.5.1\\";
    ASSERT_EQ(ValueAfter(log, "target path="), WideToUtf8(target));
    // b.dll is listed first with a hash the served bytes do not have.
    EXPECT_TRUE(HasLine(log, "hash failed=b.dll"));
    std::string failed = ValueAfter(log, "download failed count=");
    ASSERT_FALSE(failed.empty()) << "the run must go on to the end of its downloads";
    EXPECT_EQ(Sha256OfFile(target + L"a.dll"), release.entries[0].hash);
    EXPECT_EQ(Sha256OfFile(target + L"b.dll"), release.entries[3].hash);
    // The deep path either arrived intact or was counted as failed.
    std::wstring deep = target + Utf8ToWide(release.entries[4].path);
    if (failed == "1") {
        EXPECT_EQ(Sha256OfFile(deep), release.entries[4].hash);
    } else {
        EXPECT_EQ(failed, "2");
        EXPECT_TRUE(HasLine(log, "download failed=" + release.entries[4].path));
    }
    EXPECT_EQ(BaseEntries(), (std::set<std::wstring>{L"2026.5.1", L"installer-auto.log", L".qm_gc.lock"}));
    std::vector<std::wstring> files;
    ListFiles(target.substr(0, target.size() - 1), L"", files);
    for (const std::wstring& file : files) EXPECT_EQ(file.find(L".__qmdl_"), std::wstring::npos) << WideToUtf8(file);
}

TEST_F(InstallRun, ManifestOfMegabytesWithThousandsOfEntriesEndsInTheDownloadRow) {
    EXPECT_EQ(SilentInstall("stress"), 1);
    std::vector<std::string> log = LogMessages();
    EXPECT_EQ(log.back(), "silent RunInstaller returned code=1");
    EXPECT_TRUE(HasLine(log, "download needed count=20000"));
    EXPECT_EQ(CountPrefix(log, "download failed="), 6u);
    EXPECT_EQ(CountPrefix(log, "download failed count="), 0u);
    std::vector<std::wstring> files;
    std::wstring target = BaseDir() + L"2026.6.1";
    ListFiles(target, L"", files);
    EXPECT_TRUE(files.empty());
}

}  // namespace
}  // namespace quilmo::test
