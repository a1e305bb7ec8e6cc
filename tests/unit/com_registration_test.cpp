#include "registration/com_registration.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "files/path_text.h"
#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "registration/host_addin_keys.h"
#include "registration/registration_tables.h"
#include "registration/registry.h"
#include "support/host_probe.h"
#include "support/registration_layout.h"
#include "support/registry_dump.h"
#include "support/registry_fixture.h"
#include "support/registry_gate.h"
#include "support/scratch_dir.h"
#include "support/scratch_registry.h"
#include "support/user_registration.h"

namespace quilmo {
namespace {

using testing_support::ClearUserRegistration;
using testing_support::CountingGate;
using testing_support::DumpUserHive;
using testing_support::UnexpectedDifferences;
using testing_support::DumpRegistry;
using testing_support::DumpRegistryTree;
using testing_support::DumpValueName;
using testing_support::DumpValueText;
using testing_support::ExpectedEveryHost;
using testing_support::MakeDirectories;
using testing_support::PlaceComServers;
using testing_support::ProbeEveryHost;
using testing_support::RegistryDump;
using testing_support::ScratchDir;
using testing_support::ScratchKey;

// The messages, spelled here once more so a changed text shows.
const std::string kClasses32Failed = "写入 32 位核心组件 CLSID 注册表失败。";
const std::string kClasses64Failed = "写入 64 位核心组件 CLSID 注册表失败。";
const std::string kProgIdsFailed = "写入 ProgID 注册表失败。";
const std::string kManagedDirFailed = "写入 QuilmoCore\\ManagedDir 失败。";
const std::string kOfficeFailed = "写入 Office 加载项注册表失败。";
const std::string kWpsFailed = "写入 WPS AddinsWL 白名单失败。";
const std::string kMachineLeftoversFailed = "清理残留的 HKLM 注册项失败，已回滚当前变更。";

std::string Sz(const std::wstring& text) {
    return DumpValueText(REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

// ---------------------------------------------------------------------------
// The class layout at one location, in scratch keys.

class ComClasses : public testing::Test {
protected:
    ScratchKey scratch_{L"ComClasses"};
    std::map<std::string, std::string> Below() { return DumpRegistryTree(HKEY_CURRENT_USER, scratch_.path(), 0).entries; }
};

TEST_F(ComClasses, EveryClassGetsTheFullLayoutAndOnlyTheHostControlAControlKey) {
    const std::wstring dll = L"C:\\Program Files\\奎墨\\ZUDodi32.dll";
    ASSERT_TRUE(RegisterComClasses(HKEY_CURRENT_USER, scratch_.path(), 0, dll));
    std::map<std::string, std::string> expected;
    const std::wstring root = scratch_.path();
    auto key = [&](const std::wstring& path) {
        expected[testing_support::DumpKeyName(HKEY_CURRENT_USER, root + L"\\" + path, 0)] = "key";
    };
    auto value = [&](const std::wstring& path, const std::wstring& name, const std::wstring& data) {
        expected[DumpValueName(HKEY_CURRENT_USER, root + L"\\" + path, 0, name)] = Sz(data);
    };
    expected[testing_support::DumpKeyName(HKEY_CURRENT_USER, root, 0)] = "key";
    for (const wchar_t* k : {L"Software", L"Software\\Classes", L"Software\\Classes\\CLSID"}) key(k);
    for (const ComClass& entry : ComClassTable) {
        const std::wstring cls = std::wstring(L"Software\\Classes\\CLSID\\") + entry.clsid;
        const std::wstring prog = std::wstring(L"Software\\Classes\\") + entry.progId;
        key(cls);
        value(cls, L"", entry.friendlyName);
        key(cls + L"\\InprocServer32");
        value(cls + L"\\InprocServer32", L"", dll);
        value(cls + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
        key(cls + L"\\ProgID");
        value(cls + L"\\ProgID", L"", entry.progId);
        if (entry.isControl) {
            key(cls + L"\\Control");
            value(cls + L"\\Control", L"", L"");
        }
        key(prog);
        value(prog, L"", entry.friendlyName);
        key(prog + L"\\CLSID");
        value(prog + L"\\CLSID", L"", entry.clsid);
    }
    EXPECT_EQ(Below(), expected);
}

TEST_F(ComClasses, RegistrationStopsAtTheFirstRefusedWrite) {
    CountingGate count;
    {
        ScopedRegistryWriteGate on(&count);
        ASSERT_TRUE(RegisterComClasses(HKEY_CURRENT_USER, scratch_.path(), 0, L"C:\\x\\ZUDodi32.dll"));
    }
    ASSERT_EQ(count.seen(), 4 * 6 + 1);  // six values per class, the control's key one more
    for (int n : {1, 7, 25}) {
        ScratchKey fresh{L"ComClassesStop"};
        CountingGate gate(n);
        ScopedRegistryWriteGate on(&gate);
        EXPECT_FALSE(RegisterComClasses(HKEY_CURRENT_USER, fresh.path(), 0, L"C:\\x\\ZUDodi32.dll"));
        EXPECT_EQ(gate.seen(), n);
    }
}

TEST_F(ComClasses, RemovalsTakeClassAndProgIdKeysWholeAndLeaveNeighbours) {
    ASSERT_TRUE(RegisterComClasses(HKEY_CURRENT_USER, scratch_.path(), 0, L"C:\\x\\ZUDodi32.dll"));
    ASSERT_TRUE(WriteRegString(HKEY_CURRENT_USER, scratch_.Below(L"Software\\Classes\\Other.Thing"), 0, nullptr, L"x"));
    ASSERT_TRUE(RemoveComClassKeys(HKEY_CURRENT_USER, scratch_.path(), 0));
    for (const ComClass& entry : ComClassTable) {
        EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, scratch_.Below(ComClassKeyPath(entry.clsid)), 0), ProbeState::Absent);
        EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, scratch_.Below(ProgIdKeyPath(entry.progId)), 0), ProbeState::Present);
    }
    ASSERT_TRUE(RemoveProgIdKeys(HKEY_CURRENT_USER, scratch_.path(), 0));
    for (const ComClass& entry : ComClassTable) {
        EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, scratch_.Below(ProgIdKeyPath(entry.progId)), 0), ProbeState::Absent);
    }
    EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, scratch_.Below(L"Software\\Classes\\Other.Thing"), 0),
              ProbeState::Present);
    EXPECT_TRUE(RemoveComClassKeys(HKEY_CURRENT_USER, scratch_.path(), 0));  // nothing left: still fine
    EXPECT_TRUE(RemoveProgIdKeys(HKEY_CURRENT_USER, scratch_.path(), 0));
}

// The machine registration below two private roots standing in for the
// machine's 32-bit and 64-bit views.
TEST_F(ComClasses, MachineRemovalClearsEveryPassThatExists) {
    for (bool is64 : {true, false}) {
        ScratchKey machine{L"ComClassesMachine"};
        RegistrationTarget target;
        target.machineHive = machine.get();
        target.machine32Root = L"M32";
        target.machine64Root = L"M64";
        target.is64BitWindows = is64;
        for (const wchar_t* root : {L"M32", L"M64"}) {
            ASSERT_TRUE(RegisterComClasses(machine.get(), root, 0, L"C:\\x\\s.dll"));
            ASSERT_TRUE(WriteOfficeAddinKeys(machine.get(), root, 0, L"n", L"d"));
            ASSERT_TRUE(WriteWpsAllowList(machine.get(), root, 0));
            ASSERT_TRUE(WriteRegString(machine.get(), std::wstring(root) + L"\\SOFTWARE\\Kingsoft\\Office\\WPS\\AddinsWL",
                                       0, L"Other.Addin", L""));
        }
        ASSERT_TRUE(RemoveMachineComRegistration(target));
        auto left = DumpRegistryTree(machine.get(), L"M32", 0).entries;
        for (const auto& entry : left) {
            const bool allowed = entry.second == "key" || entry.first.find("Other.Addin") != std::string::npos;
            EXPECT_TRUE(allowed) << "left in the 32-bit pass: " << entry.first << " = " << entry.second;
        }
        EXPECT_EQ(DumpRegistryTree(machine.get(), L"M32\\SOFTWARE\\Microsoft\\Office\\Word\\Addins", 0).entries.size(), 1u);
        const bool cleared64 = RegKeyState(machine.get(), L"M64\\Software\\Classes\\Quilmo2027.Word", 0) ==
                               ProbeState::Absent;
        EXPECT_EQ(cleared64, is64) << "the 64-bit pass exists only on 64-bit Windows";
    }
}

// ---------------------------------------------------------------------------
// The core registration in the prefix's real user hive, as Office and WPS
// read it.

RegistrationTarget PipelineTarget() {
    RegistrationTarget target;
    target.writeMachine = false;
    target.writeUser = true;
    target.cleanMachine = false;
    return target;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

std::string Narrow(const std::vector<std::wstring>& lines) {
    std::string text;
    for (const std::wstring& line : lines) text += WideToUtf8(line) + "\n";
    return text;
}

// The texts a run hands the registration when the manifest names none.
const AddinTexts kProductTexts{L"奎墨", L"墨韵随心办公"};

std::string Utf8(const std::wstring& text) { return WideToUtf8(text); }

std::wstring ReadUser(const std::wstring& path, REGSAM view, const wchar_t* name) {
    std::wstring text;
    if (!ReadRegString(HKEY_CURRENT_USER, path, view, name, &text)) return L"<unreadable>";
    return text;
}

std::wstring InprocPath(const ComClass& entry, REGSAM view) {
    return ReadUser(ComClassKeyPath(entry.clsid) + L"\\InprocServer32", view, nullptr);
}

class CoreRegistration : public testing::Test {
protected:
    void SetUp() override {
        ClearUserRegistration();
        current_ = MakeDirectories(scratch_ / L"奎墨 安装\\2.0.0");
        previous_ = MakeDirectories(scratch_ / L"奎墨 安装\\1.0.0");
        ASSERT_TRUE(PlaceComServers(current_, true, true));
        ASSERT_TRUE(PlaceComServers(previous_, true, true));
    }
    void TearDown() override { ClearUserRegistration(); }

    // What a previous version left, written with plain registry calls: its
    // own directory and texts, both servers, every host key.
    void RegisterPreviousVersion() {
        using namespace testing_support;
        WriteClassLayout(HKEY_CURRENT_USER, L"", KEY_WOW64_32KEY, previous_ + L"\\ZUDodi32.dll");
        if (target_.is64BitWindows) {
            WriteClassLayout(HKEY_CURRENT_USER, L"", KEY_WOW64_64KEY, previous_ + L"\\REDero64.dll");
            WriteManagedDir(HKEY_CURRENT_USER, L"", KEY_WOW64_64KEY, previous_);
        }
        WriteManagedDir(HKEY_CURRENT_USER, L"", KEY_WOW64_32KEY, previous_);
        WriteOfficeLayout(HKEY_CURRENT_USER, L"", 0, L"奎墨 2025", L"上一版本");
        WriteAllowListLayout(HKEY_CURRENT_USER, L"", 0);
        ASSERT_TRUE(VerifyCoreRegistration(Utf8(previous_), true, target_.is64BitWindows, target_));
    }

    CoreRegistrationResult Register(const std::wstring& dir, bool r32 = true, bool r64 = true,
                                    const AddinTexts& texts = kProductTexts) {
        return RegisterCoreComponents(Utf8(dir), r32, r64, target_, texts);
    }

    ScratchDir scratch_;
    std::wstring current_;
    std::wstring previous_;
    RegistrationTarget target_ = PipelineTarget();
};

// ----- 64-bit Windows (the win64 prefix) -----

class CoreRegistration64 : public CoreRegistration {
protected:
    void SetUp() override {
        ASSERT_TRUE(target_.is64BitWindows) << "runs in the 64-bit prefix only";
        // Without HKCU\Software\Classes\Wow6432Node (tools/wine-prefix.sh) both
        // views would share one InprocServer32 key.
        ASSERT_EQ(RegKeyState(HKEY_CURRENT_USER, L"Software\\Classes\\Wow6432Node", KEY_WOW64_64KEY),
                  ProbeState::Present)
            << "the prefix was not prepared as 64-bit Windows";
        CoreRegistration::SetUp();
    }
};

TEST_F(CoreRegistration64, HostsOfBothBitnessesLoadTheServersFromTheInstallDirectory) {
    CoreRegistrationResult result = Register(current_);
    ASSERT_TRUE(result.ok) << result.detail;
    EXPECT_TRUE(result.reg32);
    EXPECT_TRUE(result.reg64);
    EXPECT_EQ(result.detail, "");
    EXPECT_TRUE(VerifyCoreRegistration(Utf8(current_), true, true, target_));
    EXPECT_EQ(Narrow(ProbeEveryHost(32)), Narrow(ExpectedEveryHost(current_ + L"\\ZUDodi32.dll")));
    EXPECT_EQ(Narrow(ProbeEveryHost(64)), Narrow(ExpectedEveryHost(current_ + L"\\REDero64.dll")));
}

TEST_F(CoreRegistration64, AnUpdateMovesEveryHostToTheNewDirectory) {
    RegisterPreviousVersion();
    ASSERT_EQ(Narrow(ProbeEveryHost(64)), Narrow(ExpectedEveryHost(previous_ + L"\\REDero64.dll")));
    CoreRegistrationResult result = Register(current_, true, true, {L"奎墨", L"新版本"});
    ASSERT_TRUE(result.ok) << result.detail;
    EXPECT_EQ(Narrow(ProbeEveryHost(32)), Narrow(ExpectedEveryHost(current_ + L"\\ZUDodi32.dll")));
    EXPECT_EQ(Narrow(ProbeEveryHost(64)), Narrow(ExpectedEveryHost(current_ + L"\\REDero64.dll")));
    EXPECT_EQ(ReadUser(L"SOFTWARE\\Microsoft\\Office\\Word\\Addins\\Quilmo2027.Word", 0, L"Description"), L"新版本");
}

// Every spelling of one directory registers the same exact paths.
TEST_F(CoreRegistration64, EveryFormOfTheDirectoryRegistersTheSameExactPaths) {
    std::wstring slashes = current_;
    std::replace(slashes.begin(), slashes.end(), L'\\', L'/');
    const std::wstring forms[] = {current_,          current_ + L"\\",   current_ + L"\\\\", slashes,
                                  slashes + L"/",    current_ + L" ",    current_ + L"\\ ",  current_ + L" \\ \\",
                                  slashes + L"/ /"};
    for (const std::wstring& form : forms) {
        SCOPED_TRACE(Utf8(form));
        ClearUserRegistration();
        CoreRegistrationResult result = Register(form);
        ASSERT_TRUE(result.ok) << result.detail;
        for (const ComClass& entry : ComClassTable) {
            EXPECT_EQ(InprocPath(entry, KEY_WOW64_32KEY), current_ + L"\\ZUDodi32.dll");
            EXPECT_EQ(InprocPath(entry, KEY_WOW64_64KEY), current_ + L"\\REDero64.dll");
        }
        EXPECT_EQ(ReadUser(kQuilmoCoreKey, KEY_WOW64_32KEY, kManagedDirValue), current_);
        EXPECT_EQ(ReadUser(kQuilmoCoreKey, KEY_WOW64_64KEY, kManagedDirValue), current_);
        EXPECT_TRUE(VerifyCoreRegistration(Utf8(form), true, true, target_));
        EXPECT_TRUE(VerifyCoreRegistration(Utf8(current_), true, true, target_));
    }
}

TEST_F(CoreRegistration64, ALongDirectoryRegistersAndLoads) {
    std::wstring dir = scratch_.path() + L"\\";
    while (dir.size() < 250) dir += std::wstring(std::min<size_t>(60, 250 - dir.size()), L'q') + L"\\";
    while (dir.back() == L'\\') dir.pop_back();
    dir.resize(250);
    ASSERT_NE(dir.back(), L'\\');
    ASSERT_EQ(dir.size(), 250u);
    // Created in the extended form: 250 characters are past what plain paths allow for a directory.
    const std::wstring longDir = ToLongPathForm(dir);
    for (size_t at = longDir.find(L'\\', 7); at != std::wstring::npos; at = longDir.find(L'\\', at + 1)) {
        CreateDirectoryW(longDir.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(longDir.c_str(), nullptr);
    ASSERT_TRUE(PlaceComServers(longDir, true, true));
    CoreRegistrationResult result = Register(dir + L"/");
    ASSERT_TRUE(result.ok) << result.detail;
    EXPECT_EQ(InprocPath(ComClassTable[0], KEY_WOW64_32KEY), dir + L"\\ZUDodi32.dll");
    EXPECT_EQ(InprocPath(ComClassTable[3], KEY_WOW64_64KEY), dir + L"\\REDero64.dll");
    EXPECT_EQ(ReadUser(kQuilmoCoreKey, KEY_WOW64_64KEY, kManagedDirValue), dir);
    EXPECT_TRUE(VerifyCoreRegistration(Utf8(dir), true, true, target_));
    testing_support::HostProbeResult word =
        testing_support::RunHostProbe(64, testing_support::HostKind::Office, L"Word", L"Quilmo2027.Word");
    EXPECT_EQ(word.exitCode, 0) << Utf8(word.line);
}

struct PreconditionCase {
    const char* what;
    bool with32;
    bool with64;
    bool core;
    bool r32;
    bool r64;
    bool noHive;
    const char* detail;
};

// Each stops before anything is captured or written.
TEST_F(CoreRegistration64, PreconditionsFailWithTheirMessageAndWriteNothing) {
    const PreconditionCase cases[] = {
        {"no managed core", true, true, false, true, true, false, "未找到核心组件文件 Quilmo.Core.dll。"},
        {"no hive enabled", true, true, true, true, true, true, "未启用任何目标注册表配置单元。"},
        {"32-bit asked, missing", false, true, true, true, true, false,
         "请求注册 32 位核心组件，但未找到 ZUDodi32.dll。"},
        {"64-bit asked, missing", true, false, true, true, true, false,
         "请求注册 64 位核心组件，但未找到 REDero64.dll。"},
        {"64-bit only asked, missing", true, false, true, false, true, false,
         "请求注册 64 位核心组件，但未找到 REDero64.dll。"},
        {"nothing asked", true, true, true, false, false, false, "未找到 ZUDodi32.dll 或 REDero64.dll。"},
    };
    RegisterPreviousVersion();
    int index = 0;
    for (const PreconditionCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring dir = MakeDirectories(scratch_ / (L"case" + std::to_wstring(index++)));
        ASSERT_TRUE(PlaceComServers(dir, c.with32, c.with64));
        if (!c.core) {
            ASSERT_TRUE(DeleteFileW((dir + L"\\Quilmo.Core.dll").c_str()));
        }
        RegistrationTarget target = PipelineTarget();
        if (c.noHive) target.writeUser = false;
        RegistryDump before = DumpUserHive();
        CountingGate gate;
        CoreRegistrationResult result;
        {
            ScopedRegistryWriteGate on(&gate);
            result = RegisterCoreComponents(Utf8(dir), c.r32, c.r64, target, kProductTexts);
        }
        EXPECT_FALSE(result.ok);
        EXPECT_FALSE(result.reg32);
        EXPECT_FALSE(result.reg64);
        EXPECT_EQ(result.detail, c.detail);
        EXPECT_EQ(gate.seen(), 0);
        EXPECT_TRUE(testing_support::SameDump(before, DumpUserHive()));
    }
}

TEST_F(CoreRegistration64, AnEmptyOrBlankDirectoryFailsTheFirstPrecondition) {
    RegisterPreviousVersion();
    for (const char* dir : {"", " ", "\\", "/", " \\ / "}) {
        RegistryDump before = DumpUserHive();
        CountingGate gate;
        CoreRegistrationResult result;
        {
            ScopedRegistryWriteGate on(&gate);
            result = RegisterCoreComponents(dir, true, true, target_, kProductTexts);
        }
        EXPECT_FALSE(result.ok) << dir;
        EXPECT_EQ(result.detail, "未找到核心组件文件 Quilmo.Core.dll。") << dir;
        EXPECT_EQ(gate.seen(), 0) << dir;
        EXPECT_TRUE(testing_support::SameDump(before, DumpUserHive())) << dir;
        EXPECT_FALSE(VerifyCoreRegistration(dir, true, true, target_)) << dir;
    }
}

TEST_F(CoreRegistration64, OnlyTheSixtyFourBitServerClearsTheThirtyTwoBitClasses) {
    RegisterPreviousVersion();
    CoreRegistrationResult result = Register(current_, false, true);
    ASSERT_TRUE(result.ok) << result.detail;
    EXPECT_FALSE(result.reg32);
    EXPECT_TRUE(result.reg64);
    for (const ComClass& entry : ComClassTable) {
        EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, ComClassKeyPath(entry.clsid), KEY_WOW64_32KEY), ProbeState::Absent);
        EXPECT_EQ(InprocPath(entry, KEY_WOW64_64KEY), current_ + L"\\REDero64.dll");
    }
    EXPECT_TRUE(VerifyCoreRegistration(Utf8(current_), false, true, target_));
    EXPECT_FALSE(VerifyCoreRegistration(Utf8(current_), true, true, target_));
    // A 32-bit host finds the add-in listed but no server for it.
    testing_support::HostProbeResult word32 =
        testing_support::RunHostProbe(32, testing_support::HostKind::Office, L"Word", L"Quilmo2027.Word");
    EXPECT_EQ(word32.exitCode, 4) << Utf8(word32.line);
    EXPECT_EQ(Narrow(ProbeEveryHost(64)), Narrow(ExpectedEveryHost(current_ + L"\\REDero64.dll")));
}

TEST_F(CoreRegistration64, WithoutADisplayNameTheOfficeKeysCarryTheBuiltInTexts) {
    ASSERT_TRUE(Register(current_, true, true, {L"", L""}).ok);
    for (const wchar_t* key : {L"SOFTWARE\\Microsoft\\Office\\Word\\Addins\\Quilmo2027.Word",
                               L"SOFTWARE\\Microsoft\\Office\\PowerPoint\\Addins\\Quilmo2027.PPT"}) {
        EXPECT_EQ(ReadUser(key, 0, L"FriendlyName"), L"奎墨");
        EXPECT_EQ(ReadUser(key, 0, L"Description"), L"奎墨办公插件");
    }
}

// One change after a good registration, and whether the read-back accepts it.
TEST_F(CoreRegistration64, VerificationRejectsEveryDifferenceButLetterCase) {
    struct Case {
        const char* what;
        void (*change)(const std::wstring& dir);
        bool accepted;
    };
    const Case cases[] = {
        {"nothing changed", [](const std::wstring&) {}, true},
        {"ManagedDir in other letter case",
         [](const std::wstring& dir) {
             std::wstring upper = dir;
             for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
             WriteRegString(HKEY_CURRENT_USER, kQuilmoCoreKey, KEY_WOW64_64KEY, kManagedDirValue, upper);
         },
         true},
        {"ManagedDir of another directory",
         [](const std::wstring& dir) {
             WriteRegString(HKEY_CURRENT_USER, kQuilmoCoreKey, KEY_WOW64_32KEY, kManagedDirValue, dir + L"x");
         },
         false},
        {"ManagedDir with a trailing backslash",
         [](const std::wstring& dir) {
             WriteRegString(HKEY_CURRENT_USER, kQuilmoCoreKey, KEY_WOW64_64KEY, kManagedDirValue, dir + L"\\");
         },
         false},
        {"LoadBehavior as a string",
         [](const std::wstring&) {
             WriteRegString(HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Office\\Excel\\Addins\\Quilmo2027.Excel", 0,
                            L"LoadBehavior", L"3");
         },
         false},
        {"LoadBehavior 2",
         [](const std::wstring&) {
             WriteRegDword(HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\Office\\PowerPoint\\Addins\\Quilmo2027.PPT", 0,
                           L"LoadBehavior", 2);
         },
         false},
        {"allow-list value gone",
         [](const std::wstring&) {
             DeleteRegValue(HKEY_CURRENT_USER, L"SOFTWARE\\Kingsoft\\Office\\WPP\\AddinsWL", 0, L"Quilmo2027.PPT");
         },
         false},
        {"64-bit server elsewhere",
         [](const std::wstring&) {
             WriteRegString(HKEY_CURRENT_USER,
                            ComClassKeyPath(ComClassTable[3].clsid) + L"\\InprocServer32", KEY_WOW64_64KEY, nullptr,
                            L"C:\\elsewhere\\REDero64.dll");
         },
         false},
        {"ProgID pointing at another class",
         [](const std::wstring&) {
             WriteRegString(HKEY_CURRENT_USER, L"Software\\Classes\\Quilmo2027.Excel\\CLSID", 0, nullptr,
                            ComClassTable[0].clsid);
         },
         false},
    };
    for (const Case& c : cases) {
        ClearUserRegistration();
        ASSERT_TRUE(Register(current_).ok);
        c.change(current_);
        EXPECT_EQ(VerifyCoreRegistration(Utf8(current_), true, true, target_), c.accepted) << c.what;
    }
}

// The writes of one complete registration, step by step: the message a
// failure in that step must give, and how many writes the step makes.
struct StepWrites {
    std::string message;
    int writes;
};

std::vector<StepWrites> CompleteRegistrationSteps(bool is64BitWindows) {
    const int classWrites = 4 * 6 + 1;
    std::vector<StepWrites> steps{{kClasses32Failed, classWrites}};
    if (is64BitWindows) steps.push_back({kClasses64Failed, classWrites});
    steps.push_back({kProgIdsFailed, 8});
    steps.push_back({kManagedDirFailed, is64BitWindows ? 2 : 1});
    steps.push_back({kOfficeFailed, 12});
    steps.push_back({kWpsFailed, 3});
    return steps;
}

std::string MessageOfWrite(const std::vector<StepWrites>& steps, int n) {
    for (const StepWrites& step : steps) {
        if (n <= step.writes) return step.message;
        n -= step.writes;
    }
    return "<beyond the registration>";
}

enum class StartFrom { EmptyHive, PreviousVersion };

class FailEveryWrite : public CoreRegistration {
protected:
    void Prepare(StartFrom start) {
        ClearUserRegistration();
        if (start == StartFrom::PreviousVersion) RegisterPreviousVersion();
    }

    void ExpectEveryFailureRollsBack(StartFrom start) {
        const std::vector<StepWrites> steps = CompleteRegistrationSteps(target_.is64BitWindows);
        int total = 0;
        for (const StepWrites& step : steps) total += step.writes;
        {
            Prepare(start);
            CountingGate count;
            ScopedRegistryWriteGate on(&count);
            ASSERT_TRUE(Register(current_).ok);
            ASSERT_EQ(count.seen(), total);
        }
        for (int n = 1; n <= total; ++n) {
            SCOPED_TRACE("write " + std::to_string(n) + " of " + std::to_string(total));
            Prepare(start);
            const RegistryDump before = DumpUserHive();
            CountingGate gate(n);
            CoreRegistrationResult result;
            {
                ScopedRegistryWriteGate on(&gate);
                result = Register(current_);
            }
            ASSERT_NE(gate.refused(), nullptr);
            EXPECT_FALSE(result.ok);
            EXPECT_FALSE(result.reg32);
            EXPECT_FALSE(result.reg64);
            EXPECT_EQ(result.detail, MessageOfWrite(steps, n)) << Utf8(gate.refused()->path);
            const std::vector<std::string> unexpected = UnexpectedDifferences(before, DumpUserHive());
            EXPECT_TRUE(unexpected.empty()) << Joined(unexpected);
            if (HasFailure()) return;  // one broken write tells enough
        }
        // The hosts see what they saw before the last failure.
        const std::wstring previous32 = start == StartFrom::PreviousVersion ? previous_ + L"\\ZUDodi32.dll" : L"";
        EXPECT_EQ(Narrow(ProbeEveryHost(32)), Narrow(ExpectedEveryHost(previous32)));
        if (target_.is64BitWindows) {
            const std::wstring previous64 = start == StartFrom::PreviousVersion ? previous_ + L"\\REDero64.dll" : L"";
            EXPECT_EQ(Narrow(ProbeEveryHost(64)), Narrow(ExpectedEveryHost(previous64)));
        }
    }
};

class FailEveryWrite64 : public FailEveryWrite {
protected:
    void SetUp() override {
        ASSERT_TRUE(target_.is64BitWindows) << "runs in the 64-bit prefix only";
        FailEveryWrite::SetUp();
    }
};

TEST_F(FailEveryWrite64, FromAnEmptyHive) { ExpectEveryFailureRollsBack(StartFrom::EmptyHive); }
TEST_F(FailEveryWrite64, FromAPreviousVersion) { ExpectEveryFailureRollsBack(StartFrom::PreviousVersion); }

// "ManagedDir" goes to both views even when the first write failed; the
// registration still fails and rolls both back.
TEST_F(CoreRegistration64, BothManagedDirWritesAreAttempted) {
    const int beforeManagedDir = 2 * (4 * 6 + 1) + 8;
    CountingGate gate(beforeManagedDir + 1);
    CoreRegistrationResult result;
    {
        ScopedRegistryWriteGate on(&gate);
        result = Register(current_);
    }
    EXPECT_EQ(result.detail, kManagedDirFailed);
    ASSERT_GE(gate.seen(), beforeManagedDir + 2);
    const testing_support::SeenChange& first = gate.changes()[beforeManagedDir];
    const testing_support::SeenChange& second = gate.changes()[beforeManagedDir + 1];
    EXPECT_EQ(first.name, kManagedDirValue);
    EXPECT_EQ(first.view, static_cast<REGSAM>(KEY_WOW64_32KEY));
    EXPECT_EQ(second.name, kManagedDirValue);
    EXPECT_EQ(second.view, static_cast<REGSAM>(KEY_WOW64_64KEY));
    EXPECT_EQ(ReadUser(kQuilmoCoreKey, KEY_WOW64_64KEY, kManagedDirValue), L"<unreadable>");
}

// A key of the registration that really cannot be written: Excel's Office
// add-in key, left read-only.
TEST_F(CoreRegistration64, AReadOnlyKeyFailsItsStepAndRollsBack) {
    RegisterPreviousVersion();
    const std::wstring excel = L"SOFTWARE\\Microsoft\\Office\\Excel\\Addins\\Quilmo2027.Excel";
    testing_support::RestrictedKey readOnly(HKEY_CURRENT_USER, excel, L"D:P(A;;KR;;;WD)(A;;0x40000;;;WD)");
    ASSERT_TRUE(readOnly.restricted());
    const RegistryDump before = DumpUserHive();
    CoreRegistrationResult result = Register(current_);
    const RegistryDump after = DumpUserHive();
    readOnly.Release();
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.reg32);
    EXPECT_FALSE(result.reg64);
    EXPECT_EQ(result.detail, kOfficeFailed);
    const std::vector<std::string> unexpected = UnexpectedDifferences(before, after);
    EXPECT_TRUE(unexpected.empty()) << Joined(unexpected);
    EXPECT_EQ(Narrow(ProbeEveryHost(32)), Narrow(ExpectedEveryHost(previous_ + L"\\ZUDodi32.dll")));
    EXPECT_EQ(Narrow(ProbeEveryHost(64)), Narrow(ExpectedEveryHost(previous_ + L"\\REDero64.dll")));
}

// With cleanMachine, a user registration also clears a machine-wide one,
// and a machine hive that will not let go fails the whole registration.
TEST_F(CoreRegistration64, MachineLeftoversAreRemovedOrTheRegistrationFails) {
    RegistrationTarget machineTarget = PipelineTarget();
    machineTarget.writeMachine = true;
    machineTarget.writeUser = false;
    auto writeMachine = [&] {
        for (const RegistryLocation& pass : MachinePasses(machineTarget)) {
            ASSERT_TRUE(RegisterComClasses(pass.hive, pass.root, pass.view, previous_ + L"\\ZUDodi32.dll"));
            ASSERT_TRUE(WriteOfficeAddinKeys(pass.hive, pass.root, pass.view, L"n", L"d"));
            ASSERT_TRUE(WriteWpsAllowList(pass.hive, pass.root, pass.view));
        }
    };
    auto machineState = [&] {
        std::vector<ProbeState> states;
        for (const RegistryLocation& pass : MachinePasses(machineTarget)) {
            for (const ComClass& entry : ComClassTable) {
                states.push_back(RegKeyState(pass.hive, ComClassKeyPath(entry.clsid), pass.view));
                states.push_back(RegKeyState(pass.hive, ProgIdKeyPath(entry.progId), pass.view));
            }
        }
        return CombineStates(states);
    };
    target_.cleanMachine = true;
    writeMachine();
    ASSERT_EQ(machineState(), ProbeState::Present);
    CoreRegistrationResult result = Register(current_);
    EXPECT_TRUE(result.ok) << result.detail;
    EXPECT_EQ(machineState(), ProbeState::Absent);

    writeMachine();
    ClearUserRegistration();
    RegisterPreviousVersion();
    const RegistryDump before = DumpUserHive();
    const int userWrites = 83;
    CountingGate gate(userWrites + 1);  // the first machine removal
    {
        ScopedRegistryWriteGate on(&gate);
        result = Register(current_);
    }
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.detail, kMachineLeftoversFailed);
    ASSERT_NE(gate.refused(), nullptr);
    EXPECT_EQ(gate.refused()->kind, RegistryChangeKind::DeleteTree);
    const std::vector<std::string> unexpected = UnexpectedDifferences(before, DumpUserHive());
    EXPECT_TRUE(unexpected.empty()) << Joined(unexpected);
    RemoveMachineComRegistration(machineTarget);
}

// A registration of the machine hive alone writes the classes and then
// stops, since "ManagedDir" lives only in the user's hive; the machine's
// classes and host keys go back to what they were.
TEST_F(CoreRegistration64, AMachineOnlyRegistrationFailsAtManagedDirAndGivesTheMachineHiveBack) {
    RegistrationTarget machineOnly = PipelineTarget();
    machineOnly.writeMachine = true;
    machineOnly.writeUser = false;
    std::vector<testing_support::DumpRoot> roots;
    for (const RegistryLocation& pass : MachinePasses(machineOnly)) {
        for (const ComClass& entry : ComClassTable) {
            roots.push_back({HKEY_LOCAL_MACHINE, ComClassKeyPath(entry.clsid), pass.view});
            roots.push_back({HKEY_LOCAL_MACHINE, ProgIdKeyPath(entry.progId), pass.view});
            if (entry.officeHost != nullptr) {
                roots.push_back({HKEY_LOCAL_MACHINE, OfficeAddinKeyPath(entry.officeHost, entry.progId), pass.view});
            }
            if (entry.wpsHost != nullptr) roots.push_back({HKEY_LOCAL_MACHINE, WpsAllowListKeyPath(entry.wpsHost), pass.view});
        }
    }
    // One machine-wide class from before, in the 32-bit view only.
    ASSERT_TRUE(RegisterComClasses(HKEY_LOCAL_MACHINE, L"", KEY_WOW64_32KEY, previous_ + L"\\ZUDodi32.dll"));
    const RegistryDump machineBefore = DumpRegistry(roots);
    const RegistryDump userBefore = DumpUserHive();
    CountingGate gate;
    CoreRegistrationResult result;
    {
        ScopedRegistryWriteGate on(&gate);
        result = RegisterCoreComponents(Utf8(current_), true, true, machineOnly, kProductTexts);
    }
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.reg32);
    EXPECT_FALSE(result.reg64);
    EXPECT_EQ(result.detail, kManagedDirFailed);
    ASSERT_GE(gate.seen(), 1);
    EXPECT_EQ(gate.changes()[0].path, ComClassKeyPath(ComClassTable[0].clsid));
    ASSERT_GE(gate.seen(), 2 * (4 * 6 + 1));  // both machine passes' classes were written first
    EXPECT_TRUE(testing_support::SameDump(machineBefore, DumpRegistry(roots)))
        << testing_support::DescribeDumpDifferences(machineBefore, DumpRegistry(roots));
    EXPECT_TRUE(testing_support::SameDump(userBefore, DumpUserHive()));
    RemoveMachineComRegistration(machineOnly);
}

// ----- 32-bit Windows (the win32 prefix) -----

class CoreRegistrationOn32BitWindows : public FailEveryWrite {
protected:
    void SetUp() override {
        ASSERT_FALSE(target_.is64BitWindows) << "runs in the 32-bit prefix only (core_registration_win32)";
        FailEveryWrite::SetUp();
    }
};

TEST_F(CoreRegistrationOn32BitWindows, OnlyTheThirtyTwoBitServerIsRegistered) {
    ASSERT_TRUE(DeleteFileW((current_ + L"\\REDero64.dll").c_str()));
    CountingGate gate;
    CoreRegistrationResult result;
    {
        ScopedRegistryWriteGate on(&gate);
        result = Register(current_, true, true);
    }
    ASSERT_TRUE(result.ok) << result.detail;
    EXPECT_TRUE(result.reg32);
    EXPECT_FALSE(result.reg64);
    for (const testing_support::SeenChange& change : gate.changes()) {
        EXPECT_EQ(change.view, 0u) << "a view flag on 32-bit Windows: " << Utf8(change.path);
    }
    for (const ComClass& entry : ComClassTable) {
        EXPECT_EQ(InprocPath(entry, 0), current_ + L"\\ZUDodi32.dll");
    }
    EXPECT_TRUE(VerifyCoreRegistration(Utf8(current_), true, true, target_));
    EXPECT_EQ(Narrow(ProbeEveryHost(32)), Narrow(ExpectedEveryHost(current_ + L"\\ZUDodi32.dll")));
}

TEST_F(CoreRegistrationOn32BitWindows, PreconditionsIgnoreTheSixtyFourBitFlag) {
    struct Case {
        const char* what;
        bool with32;
        bool r32;
        bool r64;
        const char* detail;
    };
    const Case cases[] = {
        {"only 64-bit asked", true, false, true, "32 位系统未找到 ZUDodi32.dll。"},
        {"32-bit asked, missing", false, true, true, "请求注册 32 位核心组件，但未找到 ZUDodi32.dll。"},
        {"nothing asked", true, false, false, "32 位系统未找到 ZUDodi32.dll。"},
    };
    int index = 0;
    for (const Case& c : cases) {
        const std::wstring dir = MakeDirectories(scratch_ / (L"case" + std::to_wstring(index++)));
        ASSERT_TRUE(PlaceComServers(dir, c.with32, true));
        CountingGate gate;
        CoreRegistrationResult result;
        {
            ScopedRegistryWriteGate on(&gate);
            result = RegisterCoreComponents(Utf8(dir), c.r32, c.r64, target_, kProductTexts);
        }
        EXPECT_FALSE(result.ok) << c.what;
        EXPECT_EQ(result.detail, c.detail) << c.what;
        EXPECT_EQ(gate.seen(), 0) << c.what;
    }
}

TEST_F(CoreRegistrationOn32BitWindows, EveryFailedWriteRollsBackFromAnEmptyHive) {
    ExpectEveryFailureRollsBack(StartFrom::EmptyHive);
}

TEST_F(CoreRegistrationOn32BitWindows, EveryFailedWriteRollsBackFromAPreviousVersion) {
    ExpectEveryFailureRollsBack(StartFrom::PreviousVersion);
}

}  // namespace
}  // namespace quilmo
