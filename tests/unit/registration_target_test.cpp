#include "registration/registration_target.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "registration/registry.h"

namespace quilmo {
namespace {

RegistrationTarget Sample() {
    RegistrationTarget target;
    target.machineHive = HKEY_USERS;
    target.userHive = HKEY_CLASSES_ROOT;
    target.machine32Root = L"m32";
    target.machine64Root = L"m64";
    target.user32Root = L"u32";
    target.user64Root = L"u64";
    target.neutralRoot = L"n";
    target.writeMachine = false;
    target.writeUser = false;
    target.cleanMachine = false;
    target.is64BitWindows = true;
    return target;
}

TEST(RegistrationTarget, CopyKeepsEveryField) {
    RegistrationTarget source = Sample();
    RegistrationTarget copy = CopyRegistrationTarget(source);
    EXPECT_EQ(copy.machineHive, HKEY_USERS);
    EXPECT_EQ(copy.userHive, HKEY_CLASSES_ROOT);
    EXPECT_EQ(copy.machine32Root, L"m32");
    EXPECT_EQ(copy.machine64Root, L"m64");
    EXPECT_EQ(copy.user32Root, L"u32");
    EXPECT_EQ(copy.user64Root, L"u64");
    EXPECT_EQ(copy.neutralRoot, L"n");
    EXPECT_FALSE(copy.writeMachine);
    EXPECT_FALSE(copy.writeUser);
    EXPECT_FALSE(copy.cleanMachine);
    EXPECT_TRUE(copy.is64BitWindows);
    source.is64BitWindows = false;
    source.writeUser = true;
    EXPECT_TRUE(CopyRegistrationTarget(source).writeUser);
    EXPECT_FALSE(CopyRegistrationTarget(source).is64BitWindows);
}

TEST(RegistrationTarget, AnyRootDropsTheViewFlagsAndPlacesTheKeys) {
    for (std::wstring RegistrationTarget::*root :
         {&RegistrationTarget::machine32Root, &RegistrationTarget::machine64Root, &RegistrationTarget::user32Root,
          &RegistrationTarget::user64Root, &RegistrationTarget::neutralRoot}) {
        RegistrationTarget target;
        target.is64BitWindows = true;
        target.*root = L"Software\\QuilmoTests\\Root";
        EXPECT_TRUE(RedirectedRoots(target));
        EXPECT_EQ(View32(target), 0u);
        EXPECT_EQ(View64(target), 0u);
        for (const RegistryLocation& pass : MachinePasses(target)) EXPECT_EQ(pass.view, 0u);
        for (const RegistryLocation& pass : UserPasses(target)) EXPECT_EQ(pass.view, 0u);
    }
    RegistrationTarget target = Sample();
    EXPECT_EQ(KeyPathAt(User64Pass(target), L"Software\\Classes\\X"), L"u64\\Software\\Classes\\X");
    EXPECT_EQ(KeyPathAt(Machine32Pass(target), L"Software"), L"m32\\Software");
    EXPECT_EQ(UserNeutral(target).root, L"n");
    EXPECT_EQ(UserNeutral(target).hive, HKEY_CLASSES_ROOT);
    EXPECT_EQ(UserNeutral(target).view, 0u);
    target.neutralRoot.clear();
    EXPECT_EQ(EffectiveNeutralRoot(target), L"u64");
    EXPECT_EQ(UserNeutral(target).root, L"u64");
}

TEST(RegistrationTarget, PassesFollowTheBitnessOfWindows) {
    RegistrationTarget target;
    target.is64BitWindows = true;
    ASSERT_EQ(MachinePasses(target).size(), 2u);
    EXPECT_EQ(MachinePasses(target)[0].view, static_cast<REGSAM>(KEY_WOW64_32KEY));
    EXPECT_EQ(MachinePasses(target)[1].view, static_cast<REGSAM>(KEY_WOW64_64KEY));
    EXPECT_EQ(MachinePasses(target)[0].hive, HKEY_LOCAL_MACHINE);
    ASSERT_EQ(UserPasses(target).size(), 2u);
    EXPECT_EQ(UserPasses(target)[1].hive, HKEY_CURRENT_USER);
    EXPECT_EQ(UserNeutral(target).view, 0u);
    target.is64BitWindows = false;
    ASSERT_EQ(MachinePasses(target).size(), 1u);
    EXPECT_EQ(MachinePasses(target)[0].view, 0u);
    ASSERT_EQ(UserPasses(target).size(), 1u);
    EXPECT_EQ(View32(target), 0u);
}

// Run in both prefixes by the platform_win64 / platform_win32 tests.
bool Expects64BitWindows() {
    const char* expected = std::getenv("QUILMO_EXPECT_ARCH");
    return expected != nullptr && std::string(expected) == "win64";
}

constexpr wchar_t kViewKey[] = L"Software\\QuilmoTests\\Views";

TEST(Platform, DefaultTargetKnowsTheBitnessOfWindows) {
    ASSERT_NE(std::getenv("QUILMO_EXPECT_ARCH"), nullptr) << "run through the platform_win64 / platform_win32 tests";
    RegistrationTarget target;
    EXPECT_TRUE(target.writeMachine);
    EXPECT_TRUE(target.writeUser);
    EXPECT_TRUE(target.cleanMachine);
    EXPECT_FALSE(RedirectedRoots(target));
    EXPECT_EQ(target.is64BitWindows, Expects64BitWindows());
    EXPECT_EQ(MachinePasses(target).size(), Expects64BitWindows() ? 2u : 1u);
    EXPECT_EQ(View32(target), Expects64BitWindows() ? static_cast<REGSAM>(KEY_WOW64_32KEY) : 0u);
    EXPECT_EQ(View64(target), Expects64BitWindows() ? static_cast<REGSAM>(KEY_WOW64_64KEY) : 0u);
}

// The machine passes really land in different registry views on 64-bit
// Windows, and in the one registry of 32-bit Windows.
TEST(Platform, MachinePassesWriteTheirOwnView) {
    ASSERT_NE(std::getenv("QUILMO_EXPECT_ARCH"), nullptr) << "run through the platform_win64 / platform_win32 tests";
    RegistrationTarget target;
    const RegistryLocation pass32 = Machine32Pass(target);
    const std::wstring path = KeyPathAt(pass32, kViewKey);
    ASSERT_TRUE(WriteRegString(pass32.hive, path + L"\\Pass32", pass32.view, L"v", L"32"));
    std::wstring text;
    EXPECT_TRUE(ReadRegString(HKEY_LOCAL_MACHINE, path + L"\\Pass32", KEY_WOW64_32KEY, L"v", &text));
    EXPECT_EQ(text, L"32");
    if (Expects64BitWindows()) {
        const RegistryLocation pass64 = Machine64Pass(target);
        ASSERT_TRUE(WriteRegString(pass64.hive, path + L"\\Pass64", pass64.view, L"v", L"64"));
        EXPECT_EQ(RegKeyState(HKEY_LOCAL_MACHINE, path + L"\\Pass32", KEY_WOW64_64KEY), ProbeState::Absent);
        EXPECT_EQ(RegKeyState(HKEY_LOCAL_MACHINE, path + L"\\Pass64", KEY_WOW64_32KEY), ProbeState::Absent);
        EXPECT_EQ(RegKeyState(HKEY_LOCAL_MACHINE, path + L"\\Pass64", KEY_WOW64_64KEY), ProbeState::Present);
        EXPECT_TRUE(DeleteRegTree(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY));
        EXPECT_EQ(RegKeyState(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY), ProbeState::Absent);
        EXPECT_EQ(RegKeyState(HKEY_LOCAL_MACHINE, path + L"\\Pass32", KEY_WOW64_32KEY), ProbeState::Present);
    } else {
        // One registry: the 64-bit flag is ignored and reaches the same key.
        EXPECT_EQ(RegKeyState(HKEY_LOCAL_MACHINE, path + L"\\Pass32", KEY_WOW64_64KEY), ProbeState::Present);
    }
    EXPECT_TRUE(DeleteRegTree(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY));
    EXPECT_EQ(RegKeyState(HKEY_LOCAL_MACHINE, path, KEY_WOW64_32KEY), ProbeState::Absent);
}

// A redirected target puts both passes below its roots, with view 0, so the
// two passes can be told apart even where the views are shared.
TEST(Platform, RedirectedTargetWritesBelowItsRoots) {
    RegistrationTarget target;
    target.machine32Root = L"Software\\QuilmoTests\\Redirected\\M32";
    target.machine64Root = L"Software\\QuilmoTests\\Redirected\\M64";
    target.machineHive = HKEY_CURRENT_USER;
    for (const RegistryLocation& pass : MachinePasses(target)) {
        EXPECT_EQ(pass.view, 0u);
        ASSERT_TRUE(WriteRegDword(pass.hive, KeyPathAt(pass, L"Software\\Classes\\X"), pass.view, L"d", 1));
    }
    EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, L"Software\\QuilmoTests\\Redirected\\M32\\Software\\Classes\\X", 0),
              ProbeState::Present);
    EXPECT_EQ(RegKeyState(HKEY_CURRENT_USER, L"Software\\QuilmoTests\\Redirected\\M64\\Software\\Classes\\X", 0),
              Expects64BitWindows() ? ProbeState::Present : ProbeState::Absent);
    EXPECT_TRUE(DeleteRegTree(HKEY_CURRENT_USER, L"Software\\QuilmoTests\\Redirected", 0));
}

}  // namespace
}  // namespace quilmo
