#include "registration/registration_target.h"

#include "registration/registry.h"

namespace quilmo {

bool IsCurrentProcessWow64() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return false;
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64 = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

RegistrationTarget CopyRegistrationTarget(const RegistrationTarget& source) {
    RegistrationTarget copy;
    copy.machineHive = source.machineHive;
    copy.userHive = source.userHive;
    copy.machine32Root = source.machine32Root;
    copy.machine64Root = source.machine64Root;
    copy.user32Root = source.user32Root;
    copy.user64Root = source.user64Root;
    copy.neutralRoot = source.neutralRoot;
    copy.writeMachine = source.writeMachine;
    copy.writeUser = source.writeUser;
    copy.cleanMachine = source.cleanMachine;
    copy.is64BitWindows = source.is64BitWindows;
    return copy;
}

bool RedirectedRoots(const RegistrationTarget& target) {
    return !target.machine32Root.empty() || !target.machine64Root.empty() || !target.user32Root.empty() ||
           !target.user64Root.empty() || !target.neutralRoot.empty();
}

REGSAM View32(const RegistrationTarget& target) {
    return !RedirectedRoots(target) && target.is64BitWindows ? KEY_WOW64_32KEY : 0;
}

REGSAM View64(const RegistrationTarget& target) {
    return !RedirectedRoots(target) && target.is64BitWindows ? KEY_WOW64_64KEY : 0;
}

std::wstring EffectiveNeutralRoot(const RegistrationTarget& target) {
    return target.neutralRoot.empty() ? target.user64Root : target.neutralRoot;
}

RegistryLocation Machine32Pass(const RegistrationTarget& target) {
    return {target.machineHive, target.machine32Root, View32(target)};
}

RegistryLocation Machine64Pass(const RegistrationTarget& target) {
    return {target.machineHive, target.machine64Root, View64(target)};
}

RegistryLocation User32Pass(const RegistrationTarget& target) {
    return {target.userHive, target.user32Root, View32(target)};
}

RegistryLocation User64Pass(const RegistrationTarget& target) {
    return {target.userHive, target.user64Root, View64(target)};
}

RegistryLocation UserNeutral(const RegistrationTarget& target) {
    return {target.userHive, EffectiveNeutralRoot(target), 0};
}

std::vector<RegistryLocation> MachinePasses(const RegistrationTarget& target) {
    std::vector<RegistryLocation> passes{Machine32Pass(target)};
    if (target.is64BitWindows) passes.push_back(Machine64Pass(target));
    return passes;
}

std::vector<RegistryLocation> UserPasses(const RegistrationTarget& target) {
    std::vector<RegistryLocation> passes{User32Pass(target)};
    if (target.is64BitWindows) passes.push_back(User64Pass(target));
    return passes;
}

std::wstring KeyPathAt(const RegistryLocation& location, const std::wstring& path) {
    return JoinRegistryPath(location.root, path);
}

}  // namespace quilmo
