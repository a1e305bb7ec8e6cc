// The prerequisite runner against a fake bootstrapper signed at test time
// (tests/prereq): as "Microsoft Corporation" under the test signing root, as
// another company under the same root, and unsigned. The Wine user is an
// administrator, so the elevated side runs for real in this process; the
// relaunch goes through the elevation seam to the real installer executable.
// What Wine cannot make fail is made to fail through the runner's calls.
#include "startup/prerequisite_installer.h"

#include <windows.h>
#include <sddl.h>
#include "files/wincrypt_plain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "manifest/code_signing.h"
#include "manifest/sha256.h"
#include "probes/runtime_probes.h"
#include "probes/vsto_rules.h"
#include "startup/elevation.h"
#include "support/log_reader.h"
#include "support/release_server.h"
#include "support/scratch_dir.h"
#include "support/setup_process.h"

namespace quilmo::test {
namespace {

using testing_support::ScratchDir;

constexpr wchar_t kNetKey[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";
constexpr wchar_t kEdgeClientKey[] =
    L"SOFTWARE\\Microsoft\\EdgeUpdate\\Clients\\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}";
constexpr wchar_t kWebView2Version[] = L"120.0.2210.91";

std::string ReadWhole(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::wstring Fixture(const std::string& signer) {
    return ReleaseServer::StatePath("prereq/bootstrapper-" + signer + ".exe");
}

std::string HashOf(const std::wstring& path) { return Sha256OfFile(path); }

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::wstring EnvironmentValue(const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

std::wstring WindowsTemp() {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\Temp";
}

std::wstring CommonAppDataFallback() { return EnvironmentValue(L"ProgramData") + L"\\QuilmoPrereqTmp"; }

// Every private directory (and anything else named like one) in both places
// the runner may use.
std::vector<std::wstring> PrivateLeftovers() {
    std::vector<std::wstring> found;
    for (const std::wstring& parent : {WindowsTemp(), CommonAppDataFallback()}) {
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW((parent + L"\\QuilmoPrereq_*").c_str(), &data);
        if (search == INVALID_HANDLE_VALUE) continue;
        do {
            found.push_back(parent + L"\\" + data.cFileName);
        } while (FindNextFileW(search, &data));
        FindClose(search);
    }
    return found;
}

void RemoveLeftovers() {
    for (const std::wstring& dir : PrivateLeftovers()) testing_support::RemoveTree(dir);
}

// What the fake saw when it ran, one map per run.
using RunRecord = std::map<std::string, std::string>;

std::vector<RunRecord> ReadRecords(const std::wstring& path) {
    std::vector<RunRecord> runs;
    std::istringstream lines(ReadWhole(path));
    std::string line;
    while (std::getline(lines, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string key = line.substr(0, eq);
        if (key == "image") runs.emplace_back();
        if (!runs.empty()) runs.back()[key] = line.substr(eq + 1);
    }
    return runs;
}

// The fake's script for one test, the record it writes, and the .NET and
// WebView2 registrations it may leave, all removed again at the end.
class FakeBootstrapper {
public:
    FakeBootstrapper() : script_(EnvironmentValue(L"ProgramData") + L"\\quilmo-fake-bootstrapper.ini") {
        ForgetRuntimes();
        Script({});
    }
    ~FakeBootstrapper() {
        DeleteFileW(script_.c_str());
        ForgetRuntimes();
    }
    FakeBootstrapper(const FakeBootstrapper&) = delete;
    FakeBootstrapper& operator=(const FakeBootstrapper&) = delete;

    // Lines such as "exit=3010"; the record line is always added first.
    void Script(const std::vector<std::string>& lines) {
        std::string text = "record=" + WideToUtf8(record_.path() + L"\\record.txt") + "\r\n";
        for (const std::string& line : lines) text += line + "\r\n";
        ASSERT_TRUE(testing_support::WriteBytes(script_, text));
    }
    std::vector<RunRecord> Runs() const { return ReadRecords(record_.path() + L"\\record.txt"); }

private:
    static void ForgetRuntimes() {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
            UniqueRegKey key;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNetKey, 0, KEY_SET_VALUE | view, key.put()) == ERROR_SUCCESS)
                RegDeleteValueW(key.get(), L"Release");
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kEdgeClientKey, view, 0);
        }
        for (const wchar_t* root : {L"ProgramFiles(x86)", L"ProgramFiles"}) {
            std::wstring dir = EnvironmentValue(root);
            if (!dir.empty()) testing_support::RemoveTree(dir + L"\\Microsoft\\EdgeWebView\\Application");
        }
    }

    std::wstring script_;
    ScratchDir record_;
};

// The test signing root in the machine "Root" store, so the fake's chains
// are trusted.
void TrustSigningRoot() {
    std::string der = ReadWhole(ReleaseServer::StatePath("signing/ca.der"));
    ASSERT_FALSE(der.empty()) << "signing/ca.der is missing: run the signed_files_make fixture first";
    UniqueCertStore root(
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    ASSERT_TRUE(root.valid());
    ASSERT_TRUE(CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING,
                                                 reinterpret_cast<const BYTE*>(der.data()),
                                                 static_cast<DWORD>(der.size()), CERT_STORE_ADD_USE_EXISTING,
                                                 nullptr));
}

bool IsLowerHex16(const std::wstring& token) {
    return token.size() == 16 && std::all_of(token.begin(), token.end(), [](wchar_t c) {
               return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
           });
}

std::wstring LastComponent(const std::wstring& path) { return path.substr(path.find_last_of(L'\\') + 1); }
std::wstring ParentOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

bool SamePathText(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

class PrerequisiteRunner : public testing::Test {
protected:
    static void SetUpTestSuite() { TrustSigningRoot(); }
    void SetUp() override {
        RemoveLeftovers();
        ASSERT_TRUE(Exists(Fixture("microsoft"))) << "the fake bootstrappers were not made";
    }
    void TearDown() override {
        for (const std::wstring& dir : PrivateLeftovers()) ADD_FAILURE() << "left behind: " << WideToUtf8(dir);
        RemoveLeftovers();
    }
    static bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

    FakeBootstrapper fake_;
};

// ---------------------------------------------------------------------------
// The elevated side in this process, for real.

struct RealCase {
    const char* name;
    const wchar_t* kind;
    const char* signer;      // the file given as the source
    const char* hashSigner;  // the file whose SHA-256 is expected
    std::vector<std::string> script;
    int expectedCode;
    bool started;
};

class RealRun : public PrerequisiteRunner, public testing::WithParamInterface<RealCase> {};

TEST_P(RealRun, EndsWithTheCodeOfItsTableAndLeavesNothingBehind) {
    const RealCase& c = GetParam();
    fake_.Script(c.script);
    std::string hash = HashOf(Fixture(c.hashSigner));
    ASSERT_EQ(hash.size(), 64u);
    EXPECT_EQ(RunPrerequisiteInstaller(c.kind, Fixture(c.signer), hash), c.expectedCode);
    EXPECT_EQ(fake_.Runs().size(), c.started ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RealRun,
    testing::Values(
        RealCase{"Net48Restart3010", L"net48", "microsoft", "microsoft", {"exit=3010"}, 3010, true},
        RealCase{"Net48Restart1641", L"net48", "microsoft", "microsoft", {"exit=1641"}, 1641, true},
        RealCase{"Net48Failed1603", L"net48", "microsoft", "microsoft", {"exit=1603"}, 1603, true},
        RealCase{"KindInCapitals", L"NET48", "microsoft", "microsoft", {}, 0, true},
        RealCase{"WebView2InMixedCase", L"WebView2", "microsoft", "microsoft", {}, 0, true},
        // The source is not the file the pipeline checked.
        RealCase{"SourceChangedAfterTheCheck", L"net48", "contoso", "microsoft", {}, 13, false},
        RealCase{"SignedByAnotherCompany", L"net48", "contoso", "contoso", {}, 1790, false},
        RealCase{"Unsigned", L"webview2", "unsigned", "unsigned", {}, 1790, false},
        // Signed by Microsoft, but no known build of the VSTO runtime.
        RealCase{"VstoRuntimeOfAnUnknownBuild", L"vsto", "microsoft", "microsoft", {}, 13, false}),
    [](const testing::TestParamInfo<RealCase>& info) { return info.param.name; });

// The DACL as the bootstrapper itself reads it from its current directory.
void ExpectOnlySystemAndAdministrators(const std::string& sddl) {
    ASSERT_EQ(sddl.rfind("D:P", 0), 0u) << sddl << ": the DACL is not protected";
    std::vector<std::string> aces;
    for (size_t at = sddl.find('('); at != std::string::npos; at = sddl.find('(', at + 1))
        aces.push_back(sddl.substr(at, sddl.find(')', at) - at + 1));
    ASSERT_EQ(aces.size(), 2u) << sddl;
    std::vector<std::string> trustees;
    for (const std::string& ace : aces) {
        EXPECT_EQ(ace.rfind("(A;", 0), 0u) << ace;
        EXPECT_NE(ace.find("OICI"), std::string::npos) << ace;
        EXPECT_TRUE(ace.find(";FA;") != std::string::npos || ace.find(";0x1f01ff;") != std::string::npos) << ace;
        trustees.push_back(ace.substr(ace.rfind(';') + 1, ace.size() - ace.rfind(';') - 2));
    }
    std::sort(trustees.begin(), trustees.end());
    EXPECT_EQ(trustees, (std::vector<std::string>{"BA", "SY"})) << sddl;
}

TEST_F(PrerequisiteRunner, Net48RunsFromAPrivateCopyAndItsValueAppears) {
    fake_.Script({"release=528040"});
    ASSERT_FALSE(IsNetFramework48Installed());
    const std::wstring source = Fixture("microsoft");
    EXPECT_EQ(RunPrerequisiteInstaller(L"net48", source, HashOf(source)), 0);
    EXPECT_TRUE(IsNetFramework48Installed());

    std::vector<RunRecord> runs = fake_.Runs();
    ASSERT_EQ(runs.size(), 1u);
    const std::wstring image = Utf8ToWide(runs[0]["image"]);
    const std::wstring cwd = Utf8ToWide(runs[0]["cwd"]);
    EXPECT_EQ(LastComponent(image), L"ndp48-web.exe");
    EXPECT_TRUE(SamePathText(ParentOf(image), cwd)) << runs[0]["image"] << " vs " << runs[0]["cwd"];
    EXPECT_TRUE(SamePathText(ParentOf(cwd), WindowsTemp())) << runs[0]["cwd"];
    const std::wstring leaf = LastComponent(cwd);
    ASSERT_EQ(leaf.rfind(L"QuilmoPrereq_", 0), 0u);
    EXPECT_TRUE(IsLowerHex16(leaf.substr(13))) << runs[0]["cwd"];
    EXPECT_TRUE(SamePathText(Utf8ToWide(runs[0]["cmdline"]), L"\"" + image + L"\" /showfinalerror /passive /norestart"))
        << runs[0]["cmdline"];
    EXPECT_FALSE(Exists(cwd));
}

TEST_F(PrerequisiteRunner, WebView2IsInstalledByItsBootstrapperAndNothingStaysInTemp) {
    fake_.Script({"webview2=" + WideToUtf8(kWebView2Version)});
    ASSERT_FALSE(IsWebView2RuntimeInstalled());
    const std::wstring source = Fixture("microsoft");
    // The expected hash in capitals is the same hash.
    EXPECT_EQ(RunPrerequisiteInstaller(L"webview2", source, Upper(HashOf(source))), 0);
    EXPECT_TRUE(IsWebView2RuntimeInstalled());
    std::vector<RunRecord> runs = fake_.Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(LastComponent(Utf8ToWide(runs[0]["image"])), L"MicrosoftEdgeWebview2Setup.exe");
    EXPECT_TRUE(SamePathText(Utf8ToWide(runs[0]["cmdline"]), Utf8ToWide("\"" + runs[0]["image"] + "\" /silent /install")))
        << runs[0]["cmdline"];
    EXPECT_FALSE(Exists(Utf8ToWide(runs[0]["cwd"])));
}

// A build of the VSTO runtime the product knows (here the test names the
// stand-in's hash, which the product never does) runs quietly from its
// private copy under the runtime's own name.
TEST_F(PrerequisiteRunner, TheVstoRuntimeRunsQuietlyWhenItIsAKnownBuild) {
    fake_.Script({"exit=3010"});
    const std::wstring source = Fixture("microsoft");
    SetVstoRedistributableStandInForTesting(HashOf(source));
    EXPECT_EQ(RunPrerequisiteInstaller(L"vsto", source, HashOf(source)), 3010);
    SetVstoRedistributableStandInForTesting("");
    std::vector<RunRecord> runs = fake_.Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(LastComponent(Utf8ToWide(runs[0]["image"])), L"vstor_redist.exe");
    EXPECT_TRUE(SamePathText(Utf8ToWide(runs[0]["cmdline"]), Utf8ToWide("\"" + runs[0]["image"] + "\" /quiet /norestart")))
        << runs[0]["cmdline"];
    EXPECT_FALSE(Exists(Utf8ToWide(runs[0]["cwd"])));
}

struct BackgroundRun {
    std::wstring source;
    std::string hash;
    int code;
};

DWORD WINAPI RunInBackground(void* param) {
    auto* job = static_cast<BackgroundRun*>(param);
    job->code = RunPrerequisiteInstaller(L"net48", job->source, job->hash);
    return 0;
}

// While the bootstrapper runs, the copy it was started from cannot be
// replaced or removed by anyone else.
TEST_F(PrerequisiteRunner, TheCopyCannotBeReplacedWhileTheBootstrapperRuns) {
    fake_.Script({"sleep=1000"});
    const std::wstring source = Fixture("microsoft");
    const std::string hash = HashOf(source);
    BackgroundRun job{source, hash, -1};
    UniqueHandle thread(CreateThread(nullptr, 0, RunInBackground, &job, 0, nullptr));
    ASSERT_TRUE(thread.valid());
    std::vector<RunRecord> runs;
    for (int i = 0; i < 200 && runs.empty(); ++i) {
        Sleep(10);
        runs = fake_.Runs();
    }
    EXPECT_EQ(runs.size(), 1u);
    const std::wstring image = runs.empty() ? std::wstring() : Utf8ToWide(runs[0]["image"]);
    if (!image.empty()) {
        UniqueFile writer(CreateFileW(image.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
        EXPECT_FALSE(writer.valid()) << "the running copy could be opened for writing";
        EXPECT_FALSE(DeleteFileW(image.c_str())) << "the running copy could be deleted";
    }
    ASSERT_EQ(WaitForSingleObject(thread.get(), 30000), WAIT_OBJECT_0);
    EXPECT_EQ(job.code, 0);
    EXPECT_FALSE(Exists(image));
}

// Malformed requests are refused before anything is created.
struct BadRequest {
    const char* name;
    const wchar_t* kind;
    bool emptyPath;
    std::string hash;
    bool fixtureHash;  // the fixture's own hash instead
};

class MalformedRequest : public PrerequisiteRunner, public testing::WithParamInterface<BadRequest> {};

int gCreateDirectoryCalls = 0;
int gCreateFileCalls = 0;
BOOL WINAPI CountingCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES sa) {
    ++gCreateDirectoryCalls;
    return RealPrerequisiteCalls().createDirectory(path, sa);
}
HANDLE WINAPI CountingCreateFile(LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f, HANDLE g) {
    ++gCreateFileCalls;
    return RealPrerequisiteCalls().createFile(a, b, c, d, e, f, g);
}

TEST_P(MalformedRequest, Gives87AndCreatesNothing) {
    const BadRequest& c = GetParam();
    PrerequisiteCalls counting = RealPrerequisiteCalls();
    counting.createDirectory = CountingCreateDirectory;
    counting.createFile = CountingCreateFile;
    ScopedPrerequisiteCalls scope(&counting);
    gCreateDirectoryCalls = gCreateFileCalls = 0;
    const std::wstring source = Fixture("microsoft");
    std::string hash = c.fixtureHash ? HashOf(source) : c.hash;
    EXPECT_EQ(RunPrerequisiteInstaller(c.kind, c.emptyPath ? L"" : source, hash), 87);
    EXPECT_EQ(gCreateDirectoryCalls, 0);
    EXPECT_EQ(gCreateFileCalls, 0);
    EXPECT_TRUE(fake_.Runs().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedRequest,
    testing::Values(BadRequest{"UnknownKind", L"vcredist", false, "", true},
                    BadRequest{"KindWithBlank", L"net48 ", false, "", true},
                    BadRequest{"EmptyKind", L"", false, "", true},
                    BadRequest{"EmptyPath", L"net48", true, "", true},
                    BadRequest{"Hash63", L"net48", false, std::string(63, 'a'), false},
                    BadRequest{"Hash65", L"net48", false, std::string(65, 'a'), false},
                    BadRequest{"HashNotHex", L"webview2", false, std::string(63, 'a') + "g", false},
                    BadRequest{"HashEmpty", L"webview2", false, std::string(), false}),
    [](const testing::TestParamInfo<BadRequest>& info) { return info.param.name; });

// A source that cannot be opened: missing, a directory, longer than a plain
// path may be.
TEST_F(PrerequisiteRunner, AnUnreadableSourceGives2) {
    ScratchDir dir;
    const std::string anyHash(64, 'a');
    EXPECT_EQ(RunPrerequisiteInstaller(L"net48", dir / L"missing.exe", anyHash), 2);
    EXPECT_EQ(RunPrerequisiteInstaller(L"net48", dir.path(), anyHash), 2);
    EXPECT_EQ(RunPrerequisiteInstaller(L"webview2", L"C:\\" + std::wstring(296, L'x') + L".exe", anyHash), 2);
    EXPECT_TRUE(fake_.Runs().empty());
}

// ---------------------------------------------------------------------------
// Failures Wine never produces, through the runner's calls. Everything not
// named in the faults stays real, so the runs that get past the fault really
// copy, check and start the fake.

struct Faults {
    bool notElevated = false;
    int failSidNumber = 0;  // 1: LocalSystem, 2: Administrators
    DWORD aclError = ERROR_SUCCESS;
    const wchar_t* windowsDirectory = nullptr;  // stands for GetWindowsDirectoryW's answer
    bool refusePrivateDirectories = false;
    DWORD securityError = ERROR_SUCCESS;
    bool privateDirectoryIsLink = false;
    bool refuseCopyCreation = false;
    bool failRead = false;
    bool shortWrite = false;
    bool refuseReopen = false;
    bool signatureAccepted = false;  // the unsigned fixture then passes the Microsoft check
    int startFailures = 0;           // starts that fail before the real one
    DWORD startError = ERROR_SUCCESS;
    int deleteFailures = 0;

    int privateDirectoryAttempts = 0;
    int starts = 0;
    bool pinnedOpenAtSecondStart = false;
    int deletes = 0;
    std::vector<DWORD> sleeps;
    std::wstring privateDirectory;
    // The security the runner handed to the system, as SDDL.
    std::string directorySddl;
    std::string protectSddl;
    SECURITY_INFORMATION protectFlags = 0;
    std::string copySddl;
};

Faults* gFaults = nullptr;

std::string DaclText(PSECURITY_DESCRIPTOR descriptor) {
    LPWSTR text = nullptr;
    if (descriptor == nullptr ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return "<none>";
    std::string result = WideToUtf8(text);
    LocalFree(text);
    return result;
}

std::string DaclText(PACL dacl, bool isProtected) {
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, dacl, FALSE);
    if (isProtected) SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    return DaclText(&descriptor);
}

bool IsPrivateCandidate(LPCWSTR path) { return std::wstring(path).find(L"\\QuilmoPrereq_") != std::wstring::npos; }
bool IsCopy(LPCWSTR path) { return IsPrivateCandidate(path) && std::wstring(path).find(L".exe") != std::wstring::npos; }

bool FaultyIsElevated() { return !gFaults->notElevated; }

BOOL WINAPI FaultyAllocateSid(PSID_IDENTIFIER_AUTHORITY a, BYTE count, DWORD r0, DWORD r1, DWORD r2, DWORD r3,
                              DWORD r4, DWORD r5, DWORD r6, DWORD r7, PSID* sid) {
    if (gFaults->failSidNumber == count) return FALSE;  // LocalSystem has one sub-authority, Administrators two
    return AllocateAndInitializeSid(a, count, r0, r1, r2, r3, r4, r5, r6, r7, sid);
}

DWORD WINAPI FaultySetEntriesInAcl(ULONG count, PEXPLICIT_ACCESS_W entries, PACL old, PACL* acl) {
    if (gFaults->aclError != ERROR_SUCCESS) return gFaults->aclError;
    return SetEntriesInAclW(count, entries, old, acl);
}

UINT WINAPI FaultyWindowsDirectory(LPWSTR buffer, UINT size) {
    if (gFaults->windowsDirectory == nullptr) return GetWindowsDirectoryW(buffer, size);
    wcsncpy(buffer, gFaults->windowsDirectory, size);
    return static_cast<UINT>(wcslen(gFaults->windowsDirectory));
}

BOOL WINAPI FaultyCreateDirectory(LPCWSTR path, LPSECURITY_ATTRIBUTES sa) {
    if (IsPrivateCandidate(path)) {
        ++gFaults->privateDirectoryAttempts;
        if (gFaults->refusePrivateDirectories) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        gFaults->privateDirectory = path;
        gFaults->directorySddl = DaclText(sa ? sa->lpSecurityDescriptor : nullptr);
    }
    return CreateDirectoryW(path, sa);
}

DWORD WINAPI FaultySetSecurity(LPWSTR name, SE_OBJECT_TYPE type, SECURITY_INFORMATION info, PSID owner, PSID group,
                               PACL dacl, PACL sacl) {
    gFaults->protectFlags = info;
    gFaults->protectSddl = DaclText(dacl, (info & PROTECTED_DACL_SECURITY_INFORMATION) != 0);
    if (gFaults->securityError != ERROR_SUCCESS) return gFaults->securityError;
    return SetNamedSecurityInfoW(name, type, info, owner, group, dacl, sacl);
}

DWORD WINAPI FaultyAttributes(LPCWSTR path) {
    DWORD attributes = GetFileAttributesW(path);
    if (gFaults->privateDirectoryIsLink && attributes != INVALID_FILE_ATTRIBUTES && IsPrivateCandidate(path) &&
        !IsCopy(path))
        attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes;
}

HANDLE WINAPI FaultyCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                               DWORD flags, HANDLE tmpl) {
    if (IsCopy(path) && disposition == CREATE_NEW) gFaults->copySddl = DaclText(sa ? sa->lpSecurityDescriptor : nullptr);
    if (IsCopy(path) && disposition == CREATE_NEW && gFaults->refuseCopyCreation) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (IsCopy(path) && disposition == OPEN_EXISTING && gFaults->refuseReopen) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(path, access, share, sa, disposition, flags, tmpl);
}

BOOL WINAPI FaultyRead(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
    if (gFaults->failRead) {
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return ReadFile(file, buffer, size, read, overlapped);
}

BOOL WINAPI FaultyWrite(HANDLE file, LPCVOID buffer, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
    if (gFaults->shortWrite && size > 1) size -= 1;  // the disk took less than it was given
    return WriteFile(file, buffer, size, written, overlapped);
}

bool FaultySignature(const std::wstring& path, std::wstring& message) {
    if (gFaults->signatureAccepted) return true;
    return VerifyMicrosoftSignature(path, message);
}

BOOL WINAPI FaultyCreateProcess(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES pa,
                                LPSECURITY_ATTRIBUTES ta, BOOL inherit, DWORD flags, LPVOID environment,
                                LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info) {
    ++gFaults->starts;
    if (gFaults->starts > 1) {
        // Is the copy still held open by the runner? An exclusive open tells.
        UniqueFile probe(CreateFileW(application, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        gFaults->pinnedOpenAtSecondStart = !probe.valid();
    }
    if (gFaults->starts <= gFaults->startFailures) {
        SetLastError(gFaults->startError);
        return FALSE;
    }
    return CreateProcessW(application, commandLine, pa, ta, inherit, flags, environment, directory, startup, info);
}

BOOL WINAPI FaultyDelete(LPCWSTR path) {
    ++gFaults->deletes;
    if (gFaults->deletes <= gFaults->deleteFailures) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return DeleteFileW(path);
}

void WINAPI RecordedSleep(DWORD ms) { gFaults->sleeps.push_back(ms); }

const PrerequisiteCalls kFaultyCalls = [] {
    PrerequisiteCalls calls = RealPrerequisiteCalls();
    calls.isProcessElevated = FaultyIsElevated;
    calls.allocateAndInitializeSid = FaultyAllocateSid;
    calls.setEntriesInAcl = FaultySetEntriesInAcl;
    calls.getWindowsDirectory = FaultyWindowsDirectory;
    calls.createDirectory = FaultyCreateDirectory;
    calls.setNamedSecurityInfo = FaultySetSecurity;
    calls.getFileAttributes = FaultyAttributes;
    calls.createFile = FaultyCreateFile;
    calls.readFile = FaultyRead;
    calls.writeFile = FaultyWrite;
    calls.verifyMicrosoftSignature = FaultySignature;
    calls.createProcess = FaultyCreateProcess;
    calls.deleteFile = FaultyDelete;
    calls.sleep = RecordedSleep;
    return calls;
}();

struct FaultCase {
    const char* name;
    void (*arrange)(Faults&);
    int expectedCode;
    bool started;
};

class InjectedFault : public PrerequisiteRunner, public testing::WithParamInterface<FaultCase> {
protected:
    InjectedFault() { gFaults = &faults_; }
    ~InjectedFault() override { gFaults = nullptr; }
    Faults faults_;
    ScopedPrerequisiteCalls scope_{&kFaultyCalls};
};

TEST_P(InjectedFault, EndsWithTheCodeOfItsTableAndLeavesNothingBehind) {
    const FaultCase& c = GetParam();
    c.arrange(faults_);
    const std::wstring source = Fixture("microsoft");
    EXPECT_EQ(RunPrerequisiteInstaller(L"net48", source, HashOf(source)), c.expectedCode);
    EXPECT_EQ(fake_.Runs().size(), c.started ? 1u : 0u);
    if (!faults_.privateDirectory.empty()) {
        EXPECT_FALSE(Exists(faults_.privateDirectory)) << WideToUtf8(faults_.privateDirectory);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InjectedFault,
    testing::Values(
        FaultCase{"NotElevated", [](Faults& f) { f.notElevated = true; }, 5, false},
        FaultCase{"NoLocalSystemSid", [](Faults& f) { f.failSidNumber = 1; }, 5, false},
        FaultCase{"NoAdministratorsSid", [](Faults& f) { f.failSidNumber = 2; }, 5, false},
        FaultCase{"NoAcl", [](Faults& f) { f.aclError = ERROR_NOT_ENOUGH_MEMORY; }, 5, false},
        FaultCase{"ProtectionNotSet", [](Faults& f) { f.securityError = ERROR_ACCESS_DENIED; }, 5, false},
        FaultCase{"PrivateDirectoryIsALink", [](Faults& f) { f.privateDirectoryIsLink = true; }, 5, false},
        FaultCase{"NoPrivateDirectory", [](Faults& f) { f.refusePrivateDirectories = true; }, 82, false},
        FaultCase{"CopyNotCreated", [](Faults& f) { f.refuseCopyCreation = true; }, 82, false},
        FaultCase{"ReadFails", [](Faults& f) { f.failRead = true; }, 29, false},
        FaultCase{"ShortWrite", [](Faults& f) { f.shortWrite = true; }, 29, false},
        FaultCase{"CopyNotReopened", [](Faults& f) { f.refuseReopen = true; }, 32, false},
        FaultCase{"StartRefused",
                  [](Faults& f) {
                      f.startFailures = 2;
                      f.startError = ERROR_ACCESS_DENIED;
                  },
                  5, false},
        FaultCase{"StartFailsWithoutAnError",
                  [](Faults& f) {
                      f.startFailures = 1;
                      f.startError = 0;
                  },
                  1, false},
        FaultCase{"StartFailsTwiceOnSharing",
                  [](Faults& f) {
                      f.startFailures = 2;
                      f.startError = ERROR_SHARING_VIOLATION;
                  },
                  32, false},
        FaultCase{"StartSucceedsOnTheSecondTry",
                  [](Faults& f) {
                      f.startFailures = 1;
                      f.startError = ERROR_SHARING_VIOLATION;
                  },
                  0, true},
        FaultCase{"CopyDeletedOnTheLastAttempt", [](Faults& f) { f.deleteFailures = 4; }, 0, true}),
    [](const testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// Wine keeps no security of its own on files (it reads back a default made
// from the Unix mode), so what the runner asks for is read back from the
// descriptors it hands to the system.
TEST_F(PrerequisiteRunner, TheDirectoryAndTheCopyGrantOnlySystemAndAdministrators) {
    Faults faults;
    gFaults = &faults;
    ScopedPrerequisiteCalls scope(&kFaultyCalls);
    const std::wstring source = Fixture("microsoft");
    EXPECT_EQ(RunPrerequisiteInstaller(L"net48", source, HashOf(source)), 0);
    gFaults = nullptr;
    ExpectOnlySystemAndAdministrators(faults.directorySddl);
    ExpectOnlySystemAndAdministrators(faults.protectSddl);
    EXPECT_EQ(faults.protectFlags, 0x80000004u);
    ExpectOnlySystemAndAdministrators(faults.copySddl);
    EXPECT_EQ(fake_.Runs().size(), 1u);
}

TEST_F(PrerequisiteRunner, SixteenNamesAreTriedBeforeGivingUp) {
    Faults faults;
    faults.refusePrivateDirectories = true;
    gFaults = &faults;
    ScopedPrerequisiteCalls scope(&kFaultyCalls);
    const std::wstring source = Fixture("microsoft");
    EXPECT_EQ(RunPrerequisiteInstaller(L"net48", source, HashOf(source)), 82);
    EXPECT_EQ(faults.privateDirectoryAttempts, 16);
    gFaults = nullptr;
}

// Only a start refused for sharing is tried again, and only after the
// runner let go of its own read handle.
TEST_F(PrerequisiteRunner, ASharingViolationAtTheStartIsRetriedWithoutTheReadHandle) {
    Faults faults;
    faults.startFailures = 1;
    faults.startError = ERROR_SHARING_VIOLATION;
    gFaults = &faults;
    ScopedPrerequisiteCalls scope(&kFaultyCalls);
    const std::wstring source = Fixture("microsoft");
    EXPECT_EQ(RunPrerequisiteInstaller(L"net48", source, HashOf(source)), 0);
    EXPECT_EQ(faults.starts, 2);
    EXPECT_FALSE(faults.pinnedOpenAtSecondStart);
    gFaults = nullptr;

    Faults denied;
    denied.startFailures = 1;
    denied.startError = ERROR_ACCESS_DENIED;
    gFaults = &denied;
    EXPECT_EQ(RunPrerequisiteInstaller(L"net48", source, HashOf(source)), 5);
    EXPECT_EQ(denied.starts, 1);
    gFaults = nullptr;
}

TEST_F(PrerequisiteRunner, TheCopyGetsFiveDeletionsOneTenthOfASecondApart) {
    Faults faults;
    faults.deleteFailures = 100;
    gFaults = &faults;
    ScopedPrerequisiteCalls scope(&kFaultyCalls);
    const std::wstring source = Fixture("microsoft");
    EXPECT_EQ(RunPrerequisiteInstaller(L"net48", source, HashOf(source)), 0);
    EXPECT_EQ(faults.deletes, 5);
    EXPECT_EQ(faults.sleeps, (std::vector<DWORD>{100, 100, 100, 100}));
    gFaults = nullptr;
    // The undeletable copy kept its directory; the test removes both.
    EXPECT_FALSE(faults.privateDirectory.empty());
    EXPECT_TRUE(Exists(faults.privateDirectory));
    RemoveLeftovers();
}

// Without the Windows directory's Temp the private directory goes below the
// all-users application data.
TEST_F(PrerequisiteRunner, WithoutWindowsTempTheAllUsersFolderIsUsed) {
    Faults faults;
    faults.windowsDirectory = L"C:\\no-such-windows-dir\\below";
    gFaults = &faults;
    ScopedPrerequisiteCalls scope(&kFaultyCalls);
    const std::wstring source = Fixture("microsoft");
    EXPECT_EQ(RunPrerequisiteInstaller(L"net48", source, HashOf(source)), 0);
    gFaults = nullptr;
    std::vector<RunRecord> runs = fake_.Runs();
    ASSERT_EQ(runs.size(), 1u);
    const std::wstring cwd = Utf8ToWide(runs[0]["cwd"]);
    EXPECT_TRUE(SamePathText(ParentOf(cwd), CommonAppDataFallback())) << runs[0]["cwd"];
    EXPECT_FALSE(Exists(cwd));
    EXPECT_FALSE(Exists(L"C:\\no-such-windows-dir"));
}

// ---------------------------------------------------------------------------
// The parent side: in this process when elevated, otherwise through the
// elevation seam to the real installer started with the real sub-command.

const char kSentinel[] = "sentinel: prerequisite runs never write the log\r\n";

struct ParentScript {
    bool elevated = false;
    bool refusePrompt = false;
    int starts = 0;
    std::wstring verb;
    std::wstring parameters;
};

ParentScript* gParent = nullptr;

bool ParentIsElevated() { return gParent->elevated; }
bool InstallerUnderTest(std::wstring* path) {
    *path = SetupExePath();
    return true;
}
BOOL WINAPI RecordingShellExecuteEx(SHELLEXECUTEINFOW* info) {
    ++gParent->starts;
    gParent->verb = info->lpVerb ? info->lpVerb : L"";
    gParent->parameters = info->lpParameters ? info->lpParameters : L"";
    if (gParent->refusePrompt) {
        SetLastError(ERROR_CANCELLED);
        return FALSE;
    }
    return ShellExecuteExW(info);
}
int NoCleanupHere(bool) {
    ADD_FAILURE() << "a prerequisite run started a machine cleanup";
    return 1;
}

const ElevationCalls kParentCalls = [] {
    ElevationCalls calls = RealElevationCalls();
    calls.isProcessElevated = ParentIsElevated;
    calls.ownExecutablePath = InstallerUnderTest;
    calls.shellExecuteEx = RecordingShellExecuteEx;
    calls.runCleanupInProcess = NoCleanupHere;
    return calls;
}();

class PrerequisiteParent : public PrerequisiteRunner {
protected:
    PrerequisiteParent() {
        gParent = &script_;
        WriteLogBytes(kSentinel);
    }
    ~PrerequisiteParent() override {
        gParent = nullptr;
        EXPECT_EQ(ReadLogBytes(), kSentinel);
    }
    ParentScript script_;
    ScopedElevationCalls scope_{&kParentCalls};
};

TEST_F(PrerequisiteParent, ANonElevatedInstallerRunsTheBootstrapperInAnElevatedChild) {
    fake_.Script({"release=528040"});
    const std::wstring source = Fixture("microsoft");
    const std::string hash = HashOf(source);
    int code = -1;
    EXPECT_TRUE(RunPrerequisiteElevated(L"net48", source, hash, code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(script_.starts, 1);
    EXPECT_EQ(script_.verb, L"runas");
    EXPECT_EQ(script_.parameters, L"--install-prereq net48 \"" + source + L"\" " + Utf8ToWide(hash));
    EXPECT_TRUE(IsNetFramework48Installed());
    EXPECT_EQ(fake_.Runs().size(), 1u);
}

struct ChildCase {
    const char* name;
    const char* signer;
    const char* hashSigner;
    std::vector<std::string> script;
    int expectedCode;
    bool started;
};

class ChildRun : public PrerequisiteParent, public testing::WithParamInterface<ChildCase> {};

TEST_P(ChildRun, HandsTheChildsCodeBack) {
    const ChildCase& c = GetParam();
    fake_.Script(c.script);
    int code = -1;
    EXPECT_TRUE(RunPrerequisiteElevated(L"net48", Fixture(c.signer), HashOf(Fixture(c.hashSigner)), code));
    EXPECT_EQ(code, c.expectedCode);
    EXPECT_EQ(script_.starts, 1);
    EXPECT_EQ(fake_.Runs().size(), c.started ? 1u : 0u);
    EXPECT_FALSE(IsNetFramework48Installed());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChildRun,
    testing::Values(ChildCase{"Restart3010", "microsoft", "microsoft", {"exit=3010"}, 3010, true},
                    ChildCase{"Restart1641", "microsoft", "microsoft", {"exit=1641"}, 1641, true},
                    ChildCase{"SourceChangedAfterTheCheck", "contoso", "microsoft", {}, 13, false},
                    ChildCase{"SignedByAnotherCompany", "contoso", "contoso", {}, 1790, false}),
    [](const testing::TestParamInfo<ChildCase>& info) { return info.param.name; });

TEST_F(PrerequisiteParent, ARefusedPromptGivesNoCode) {
    script_.refusePrompt = true;
    const std::wstring source = Fixture("microsoft");
    int code = -1;
    EXPECT_FALSE(RunPrerequisiteElevated(L"webview2", source, HashOf(source), code));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(script_.starts, 1);
    EXPECT_TRUE(fake_.Runs().empty());
}

TEST_F(PrerequisiteParent, AnElevatedInstallerRunsItInItsOwnProcess) {
    script_.elevated = true;
    fake_.Script({"exit=1641"});
    const std::wstring source = Fixture("microsoft");
    int code = -1;
    EXPECT_TRUE(RunPrerequisiteElevated(L"net48", source, HashOf(source), code));
    EXPECT_EQ(code, 1641);
    EXPECT_EQ(script_.starts, 0);
    EXPECT_EQ(fake_.Runs().size(), 1u);
}

TEST_F(PrerequisiteParent, RequestsThatCannotBeMadeStartNothing) {
    ScratchDir dir;
    const std::wstring source = Fixture("microsoft");
    const std::string hash = HashOf(source);
    struct Request {
        std::wstring kind, path;
        std::string hash;
    } requests[] = {
        {L"", source, hash},
        {L"net48", L"", hash},
        {L"net48", dir / L"missing.exe", hash},
        {L"net48", dir.path() + L"\\", hash},  // a trailing backslash would escape the closing quote
        {L"net48", L"C:\\a\"b.exe", hash},
        {L"net48", source, hash.substr(1)},
        {L"net48", source, hash + "0"},
        {L"net48", source, hash.substr(1) + "z"},
    };
    for (const Request& r : requests) {
        int code = -1;
        EXPECT_FALSE(RunPrerequisiteElevated(r.kind, r.path, r.hash, code)) << WideToUtf8(r.path);
        EXPECT_EQ(code, 1);
    }
    EXPECT_EQ(script_.starts, 0);
    EXPECT_TRUE(fake_.Runs().empty());
}

// ---------------------------------------------------------------------------
// The sub-command as the child receives it: raw command lines given to the
// real installer.

int RunInstallerWithLine(const std::wstring& parameters) {
    std::wstring commandLine = L"\"" + SetupExePath() + L"\" " + parameters;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        return -1;
    }
    UniqueHandle process(info.hProcess), thread(info.hThread);
    if (WaitForSingleObject(process.get(), 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 99);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}

class PrerequisiteSubCommandLine : public PrerequisiteRunner {
protected:
    PrerequisiteSubCommandLine() { WriteLogBytes(kSentinel); }
    ~PrerequisiteSubCommandLine() override { EXPECT_EQ(ReadLogBytes(), kSentinel); }
};

TEST_F(PrerequisiteSubCommandLine, BadLinesEndWith87Or2AndCreateNothing) {
    ScratchDir dir;
    const std::wstring source = Fixture("microsoft");
    const std::wstring hash = Utf8ToWide(HashOf(source));
    const std::wstring quoted = L"\"" + source + L"\"";
    struct Line {
        const char* name;
        std::wstring parameters;
        int expected;
    } lines[] = {
        {"only the switch", L"--install-prereq", 87},
        {"hash missing", L"--install-prereq net48 " + quoted, 87},
        {"one argument too many", L"--install-prereq net48 " + quoted + L" " + hash + L" /silent", 87},
        {"63 digits", L"--install-prereq net48 " + quoted + L" " + hash.substr(1), 87},
        {"65 digits", L"--install-prereq net48 " + quoted + L" " + hash + L"0", 87},
        {"a letter that is not hex", L"--install-prereq net48 " + quoted + L" " + hash.substr(1) + L"x", 87},
        {"unknown kind", L"--install-prereq dotnet " + quoted + L" " + hash, 87},
        // The inner quote ends the path; the rest runs into the hash.
        {"quote inside the path", L"--install-prereq net48 \"C:\\a\"b.exe\" " + hash, 87},
        // An escaped quote stays in the path, which no file can have.
        {"escaped quote inside the path", L"--install-prereq net48 \"C:\\a\\\"b.exe\" " + hash, 2},
        {"300 characters", L"--install-prereq net48 \"C:\\" + std::wstring(296, L'p') + L".exe\" " + hash, 2},
        {"a directory", L"--install-prereq webview2 \"" + dir.path() + L"\" " + hash, 2},
    };
    for (const Line& line : lines) {
        EXPECT_EQ(RunInstallerWithLine(line.parameters), line.expected) << line.name;
        EXPECT_TRUE(PrivateLeftovers().empty()) << line.name;
    }
    EXPECT_TRUE(fake_.Runs().empty());
}

TEST_F(PrerequisiteSubCommandLine, AWellFormedLineWithTheKindInCapitalsRunsTheBootstrapper) {
    fake_.Script({"exit=3010"});
    const std::wstring source = Fixture("microsoft");
    EXPECT_EQ(RunInstallerWithLine(L"--INSTALL-PREREQ NET48 \"" + source + L"\" " + Utf8ToWide(Upper(HashOf(source)))),
              3010);
    EXPECT_EQ(fake_.Runs().size(), 1u);
}

// ---------------------------------------------------------------------------
// RandomHexToken16.

TEST(RandomHexToken16, GivesSixteenLowerCaseDigitsThatDiffer) {
    std::wstring a = RandomHexToken16(), b = RandomHexToken16();
    EXPECT_TRUE(IsLowerHex16(a)) << WideToUtf8(a);
    EXPECT_TRUE(IsLowerHex16(b)) << WideToUtf8(b);
    EXPECT_NE(a, b);
}

TEST(RandomHexToken16, FallbackMixesTickCountAndProcessId) {
    EXPECT_EQ(FallbackHexToken16(0xAABBCCDD, 0x11223344), L"eecbe0817a5774ed");
    EXPECT_EQ(FallbackHexToken16(0, 0), L"00254a6f94b9de03");
    EXPECT_NE(FallbackHexToken16(1, 0), FallbackHexToken16(0, 1));
}

}  // namespace
}  // namespace quilmo::test
