// Native image queueing against a stand-in ngen.exe placed where the .NET
// Framework keeps its generators. The stand-in records its command line and
// ends as the test tells it; the 2-second budget runs on a test clock.
//
// The suite runs on 64-bit Windows (both generators), on 32-bit Windows
// (QUILMO_WINE_ARCH=win32: only the x86 one exists) and as a Windows 7
// program (QUILMO_EXPECT_WINDOWS=win7: nothing is submitted).
#include "probes/native_images.h"

#include "files/text_encoding.h"
#include "support/test_registry_key.h"
#include "support/log_reader.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

namespace quilmo {
namespace {

using testing_support::Exists;
using testing_support::MakeDirectories;
using testing_support::OnWow64;
using testing_support::ScopedVariable;
using testing_support::ScratchDir;
using testing_support::TestRegistryKey;
using testing_support::WriteBytes;

constexpr wchar_t kNdpKey[] = L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full";

bool RunsAsWindows7() {
    const char* expected = std::getenv("QUILMO_EXPECT_WINDOWS");
    return expected != nullptr && std::string(expected) == "win7";
}

std::wstring WindowsDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, length);
}

// The stand-in generator at one of the places the installer looks, removed
// again (with the folders it needed) afterwards; a real ngen.exe found there
// is set aside and put back.
class PlacedGenerator {
public:
    explicit PlacedGenerator(const std::wstring& framework) {
        const std::wstring frameworkDir = WindowsDirectory() + L"\\Microsoft.NET\\" + framework;
        const std::wstring dir = frameworkDir + L"\\v4.0.30319";
        for (const std::wstring& level : {WindowsDirectory() + L"\\Microsoft.NET", frameworkDir, dir}) {
            if (!Exists(level) && createdRoot_.empty()) createdRoot_ = level;
        }
        MakeDirectories(dir);
        path_ = dir + L"\\ngen.exe";
        aside_ = path_ + L".qm-test-aside";
        if (Exists(path_)) MoveFileW(path_.c_str(), aside_.c_str());
        placed_ = CopyFileW((L"Z:" + Utf8ToWide(QUILMO_FAKE_NGEN_EXE)).c_str(), path_.c_str(), FALSE) != FALSE;
    }
    ~PlacedGenerator() {
        // A stand-in told to hold may still be ending.
        for (int i = 0; i < 250 && Exists(path_) && !DeleteFileW(path_.c_str()); ++i) Sleep(20);
        if (Exists(aside_)) MoveFileW(aside_.c_str(), path_.c_str());
        if (!createdRoot_.empty()) testing_support::RemoveTree(createdRoot_);
    }
    PlacedGenerator(const PlacedGenerator&) = delete;
    PlacedGenerator& operator=(const PlacedGenerator&) = delete;

    bool placed() const { return placed_; }
    const std::wstring& path() const { return path_; }

private:
    std::wstring path_, aside_, createdRoot_;
    bool placed_ = false;
};

ULONGLONG WINAPI FrozenClock() { return 5000; }

// Starts at 0 (the deadline becomes 2,000), then reads 1,980 and moves 10 ms
// further with every reading: the first submission gets 10 ms to answer and
// the next assembly finds the deadline passed.
std::atomic<int> steppingReads{0};
ULONGLONG WINAPI SteppingClock() {
    const int read = steppingReads++;
    return read == 0 ? 0 : 1970 + 10 * static_cast<ULONGLONG>(read);
}

class NativeImages : public ::testing::Test {
protected:
    void SetUp() override {
        if (RunsAsWindows7()) GTEST_SKIP() << "Windows 7: see OldWindowsSubmitsNothing";
        const char* arch = std::getenv("QUILMO_EXPECT_ARCH");
        if (arch != nullptr) {
            ASSERT_EQ(OnWow64(), std::string(arch) == "win64") << "not the Windows asked for";
        }
        log_ = test::ReadLogBytes();
        test::WriteLogBytes("");
        ASSERT_TRUE(release_.valid());
        ASSERT_TRUE(release_.SetDword(L"Release", 528040));
        x86_ = std::make_unique<PlacedGenerator>(L"Framework");
        ASSERT_TRUE(x86_->placed());
        // 32-bit Windows has no 64-bit framework; the installer passes it over.
        if (OnWow64()) {
            x64_ = std::make_unique<PlacedGenerator>(L"Framework64");
            ASSERT_TRUE(x64_->placed());
        }
        versionDir = scratch / L"2026.1.0\\";
        MakeDirectories(versionDir);
        for (const wchar_t* name : {L"Library.dll", L"Quilmo.Core.dll", L"Quilmo2025.Word.dll", L"Quilmo2025.Excel.dll",
                                    L"Quilmo2025.PPT.dll"}) {
            ASSERT_TRUE(WriteBytes(versionDir + name, "assembly"));
        }
    }
    void TearDown() override {
        SetEvent(releaseEvent_.get());
        if (!RunsAsWindows7()) test::WriteLogBytes(log_);
    }

    std::vector<std::string> Generators() const {
        std::vector<std::string> labels{"x86"};
        if (OnWow64()) labels.push_back("x64");
        return labels;
    }
    std::wstring GeneratorPath(const std::string& label) const {
        return label == "x86" ? x86_->path() : x64_->path();
    }

    // The command lines the stand-in recorded, in order.
    std::vector<std::wstring> Recorded() const {
        const std::string bytes = testing_support::ReadBytes(record_);
        std::vector<std::wstring> lines;
        if (bytes == "<missing>") return lines;
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
        for (size_t start = 0, end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
            lines.push_back(text.substr(start, end - start));
        }
        return lines;
    }
    std::wstring CommandLine(const std::string& label, const wchar_t* assembly) const {
        return L"\"" + GeneratorPath(label) + L"\" install \"" + versionDir + assembly + L"\" /queue:3 /nologo";
    }

    ScratchDir scratch;
    std::wstring versionDir;
    std::wstring record_ = scratch / L"ngen-record.txt";
    std::wstring releaseName_ = L"qm-fake-ngen-release-" + std::to_wstring(GetCurrentProcessId());
    UniqueHandle releaseEvent_{CreateEventW(nullptr, TRUE, FALSE, releaseName_.c_str())};
    ScopedVariable recordVariable_{L"QM_FAKE_NGEN_RECORD", record_.c_str()};
    ScopedVariable releaseVariable_{L"QM_FAKE_NGEN_RELEASE", releaseName_.c_str()};
    TestRegistryKey release_{HKEY_LOCAL_MACHINE, kNdpKey, KEY_WOW64_64KEY};
    std::unique_ptr<PlacedGenerator> x86_, x64_;
    std::string log_;
};

TEST_F(NativeImages, ComPayloadQueuesBothAssembliesWithEveryGenerator) {
    ScopedNativeImageClock clock(&FrozenClock);
    QueueNativeImages(WideToUtf8(versionDir), false, true);
    std::vector<std::string> expectedLog;
    std::vector<std::wstring> expectedCommands;
    for (const std::string& label : Generators()) {
        for (const wchar_t* assembly : {L"Library.dll", L"Quilmo.Core.dll"}) {
            expectedLog.push_back("ngen " + label + " " + WideToUtf8(assembly) + " submission accepted");
            expectedCommands.push_back(CommandLine(label, assembly));
        }
    }
    EXPECT_EQ(test::LogMessages(), expectedLog);
    EXPECT_EQ(Recorded(), expectedCommands);
}

TEST_F(NativeImages, VstoPayloadReportsFailuresAndMissingAssembliesAndGoesOn) {
    ASSERT_TRUE(DeleteFileW((versionDir + L"Quilmo2025.PPT.dll").c_str()));
    ScopedVariable rules(L"QM_FAKE_NGEN_RULES", L"Quilmo2025.Word.dll=exit:5;Quilmo2025.Excel.dll=exit:-3");
    ScopedNativeImageClock clock(&FrozenClock);
    QueueNativeImages(WideToUtf8(versionDir), false, false);
    std::vector<std::string> expectedLog;
    std::vector<std::wstring> expectedCommands;
    for (const std::string& label : Generators()) {
        const std::string prefix = "ngen " + label + " ";
        expectedLog.push_back(prefix + "Library.dll submission accepted");
        expectedLog.push_back(prefix + "Quilmo2025.Word.dll submission failed, exit=5");
        expectedLog.push_back(prefix + "Quilmo2025.Excel.dll submission failed, exit=4294967293");
        expectedLog.push_back(prefix + "Quilmo2025.PPT.dll skipped: assembly unavailable");
        for (const wchar_t* assembly : {L"Library.dll", L"Quilmo2025.Word.dll", L"Quilmo2025.Excel.dll"}) {
            expectedCommands.push_back(CommandLine(label, assembly));
        }
    }
    EXPECT_EQ(test::LogMessages(), expectedLog);
    EXPECT_EQ(Recorded(), expectedCommands);
}

TEST_F(NativeImages, ASlowSubmissionUsesUpTheSharedDeadline) {
    ScopedVariable rules(L"QM_FAKE_NGEN_RULES", L"Library.dll=hold");
    steppingReads = 0;
    ScopedNativeImageClock clock(&SteppingClock);
    QueueNativeImages(WideToUtf8(versionDir), false, true);
    EXPECT_EQ(test::LogMessages(), (std::vector<std::string>{
                                       "ngen x86 Library.dll submission not confirmed before deadline",
                                       "ngen deadline reached; remaining submissions skipped"}));
    SetEvent(releaseEvent_.get());  // the generator still running is left alone, then let go
    for (int i = 0; i < 100 && Recorded().empty(); ++i) Sleep(20);
    EXPECT_EQ(Recorded(), std::vector<std::wstring>{CommandLine("x86", L"Library.dll")});
}

TEST_F(NativeImages, NothingIsSubmittedWithoutAReadyRuntime) {
    const struct {
        const char* what;
        bool restartNeeded;
        DWORD release;
    } cases[] = {
        {"the VSTO runtime asked for a restart", true, 528040},
        {".NET Framework older than 4.8", false, 528039},
    };
    ScopedNativeImageClock clock(&FrozenClock);
    for (const auto& c : cases) {
        test::WriteLogBytes("");
        ASSERT_TRUE(release_.SetDword(L"Release", c.release));
        QueueNativeImages(WideToUtf8(versionDir), c.restartNeeded, true);
        EXPECT_EQ(test::LogMessages(),
                  std::vector<std::string>{"ngen skipped: .NET runtime not ready or restart required"})
            << c.what;
    }
    EXPECT_TRUE(Recorded().empty());
}

TEST_F(NativeImages, AGeneratorThatCannotStartIsLoggedWithItsError) {
    ASSERT_TRUE(WriteBytes(x86_->path(), "not a program"));
    ScopedNativeImageClock clock(&FrozenClock);
    QueueNativeImages(WideToUtf8(versionDir), false, true);
    const std::vector<std::string> log = test::LogMessages();
    ASSERT_GE(log.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        const std::string prefix = std::string("ngen x86 ") + (i == 0 ? "Library.dll" : "Quilmo.Core.dll") +
                                   " launch failed, error=";
        ASSERT_EQ(log[i].compare(0, prefix.size(), prefix), 0) << log[i];
        const std::string code = log[i].substr(prefix.size());
        EXPECT_FALSE(code.empty());
        EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos) << code;
        EXPECT_NE(code, "0");
    }
    EXPECT_EQ(log.size(), OnWow64() ? 4u : 2u) << "the x64 generator still runs";
}

TEST(NativeImagesWindowsVersion, OldWindowsSubmitsNothing) {
    EXPECT_EQ(IsWindows10OrLater(), !RunsAsWindows7());
    if (!RunsAsWindows7()) return;
    const std::string saved = test::ReadLogBytes();
    test::WriteLogBytes("");
    QueueNativeImages("C:\\unused\\", false, true);
    EXPECT_EQ(test::LogMessages(), std::vector<std::string>{"ngen skipped: requires Windows 10 or later"});
    test::WriteLogBytes(saved);
}

}  // namespace
}  // namespace quilmo
