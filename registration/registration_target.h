// Where a registration or cleanup run works: the two hives, optional key
// prefixes that move everything below a private key (tests), which hives are
// written, and whether this Windows has a 64-bit registry view.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace quilmo {

// IsWow64Process of this process, looked up at run time; false when the
// lookup or the call fails.
bool IsCurrentProcessWow64();

struct RegistrationTarget {
    HKEY machineHive = HKEY_LOCAL_MACHINE;
    HKEY userHive = HKEY_CURRENT_USER;
    std::wstring machine32Root;
    std::wstring machine64Root;
    std::wstring user32Root;
    std::wstring user64Root;
    std::wstring neutralRoot;  // the user hive's view-independent keys
    bool writeMachine = true;
    bool writeUser = true;
    bool cleanMachine = true;  // after a user-only registration, clear the machine hive's COM keys
    bool is64BitWindows = IsCurrentProcessWow64();
};

RegistrationTarget CopyRegistrationTarget(const RegistrationTarget& source);

// True when any root is set: a redirected registration uses no view flags.
bool RedirectedRoots(const RegistrationTarget& target);
REGSAM View32(const RegistrationTarget& target);
REGSAM View64(const RegistrationTarget& target);
std::wstring EffectiveNeutralRoot(const RegistrationTarget& target);

struct RegistryLocation {
    HKEY hive = nullptr;
    std::wstring root;
    REGSAM view = 0;
};

RegistryLocation Machine32Pass(const RegistrationTarget& target);
RegistryLocation Machine64Pass(const RegistrationTarget& target);  // only meaningful on 64-bit Windows
RegistryLocation User32Pass(const RegistrationTarget& target);
RegistryLocation User64Pass(const RegistrationTarget& target);  // only meaningful on 64-bit Windows
RegistryLocation UserNeutral(const RegistrationTarget& target);

// The 32-bit pass and, on 64-bit Windows, the 64-bit pass, in that order.
std::vector<RegistryLocation> MachinePasses(const RegistrationTarget& target);
std::vector<RegistryLocation> UserPasses(const RegistrationTarget& target);

// A key path at a location: JoinRegistryPath(root, path).
std::wstring KeyPathAt(const RegistryLocation& location, const std::wstring& path);

}  // namespace quilmo
