#include "registration/com_registration.h"

#include <cwchar>

#include "files/path_text.h"
#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "registration/host_addin_keys.h"
#include "registration/registration_tables.h"
#include "registration/registry.h"
#include "registration/registry_snapshot.h"

namespace quilmo {

namespace {

// The user's messages, one per step that can fail.
const char kNoCoreLibrary[] = "未找到核心组件文件 Quilmo.Core.dll。";
const char kNoHive[] = "未启用任何目标注册表配置单元。";
const char kNo32Server[] = "请求注册 32 位核心组件，但未找到 ZUDodi32.dll。";
const char kNo64Server[] = "请求注册 64 位核心组件，但未找到 REDero64.dll。";
const char kNoServer64BitWindows[] = "未找到 ZUDodi32.dll 或 REDero64.dll。";
const char kNoServer32BitWindows[] = "32 位系统未找到 ZUDodi32.dll。";
const char kClasses32Failed[] = "写入 32 位核心组件 CLSID 注册表失败。";
const char kClasses64Failed[] = "写入 64 位核心组件 CLSID 注册表失败。";
const char kProgIdsFailed[] = "写入 ProgID 注册表失败。";
const char kManagedDirFailed[] = "写入 QuilmoCore\\ManagedDir 失败。";
const char kOfficeKeysFailed[] = "写入 Office 加载项注册表失败。";
const char kAllowListFailed[] = "写入 WPS AddinsWL 白名单失败。";
const char kMachineLeftoversFailed[] = "清理残留的 HKLM 注册项失败，已回滚当前变更。";

const wchar_t kDefaultFriendlyName[] = L"奎墨";
const wchar_t kDefaultDescription[] = L"奎墨办公插件";

// Everything derived from the install directory. The server paths are
// built from managedDir, so "C:/x/v1/", "C:\x\v1 " and "C:\x\v1" all
// register the same, exact paths.
struct CorePaths {
    std::wstring managedDir;    // backslashes, no trailing backslash or space
    std::wstring dirWithSlash;  // managedDir + "\", empty when managedDir is
    std::wstring coreLibrary;
    std::wstring server32;
    std::wstring server64;
};

std::wstring ManagedDirOf(const std::string& installDir) {
    std::wstring dir = Utf8ToWide(installDir);
    for (wchar_t& c : dir) {
        if (c == L'/') c = L'\\';
    }
    while (!dir.empty() && (dir.back() == L'\\' || dir.back() == L' ')) dir.pop_back();
    return dir;
}

CorePaths DeriveCorePaths(const std::string& installDir) {
    CorePaths paths;
    paths.managedDir = ManagedDirOf(installDir);
    if (paths.managedDir.empty()) return paths;
    paths.dirWithSlash = paths.managedDir + L"\\";
    paths.coreLibrary = paths.dirWithSlash + kCoreLibraryName;
    paths.server32 = paths.dirWithSlash + kServer32Name;
    paths.server64 = paths.dirWithSlash + kServer64Name;
    return paths;
}

bool IsExistingFile(const std::wstring& path) {
    if (path.empty()) return false;
    DWORD attributes = GetFileAttributesW(ToLongPathForm(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Which servers this registration writes.
struct ServerChoice {
    bool use32 = false;
    bool use64 = false;
};

// The checks made before anything is captured or written; the first one
// that fails names itself in detail.
bool CheckPreconditions(const CorePaths& paths, bool register32, bool register64, const RegistrationTarget& target,
                        ServerChoice* choice, std::string* detail) {
    if (paths.managedDir.empty() || !IsExistingFile(paths.coreLibrary)) {
        *detail = kNoCoreLibrary;
        return false;
    }
    if (!target.writeMachine && !target.writeUser) {
        *detail = kNoHive;
        return false;
    }
    choice->use32 = register32 && IsExistingFile(paths.server32);
    choice->use64 = target.is64BitWindows && register64 && IsExistingFile(paths.server64);
    if (register32 && !choice->use32) {
        *detail = kNo32Server;
        return false;
    }
    if (target.is64BitWindows && register64 && !choice->use64) {
        *detail = kNo64Server;
        return false;
    }
    if (!choice->use32 && !choice->use64) {
        *detail = target.is64BitWindows ? kNoServer64BitWindows : kNoServer32BitWindows;
        return false;
    }
    return true;
}

using HostTexts = AddinTexts;

HostTexts TextsOrBuiltIn(HostTexts texts) {
    if (texts.friendlyName.empty()) texts.friendlyName = kDefaultFriendlyName;
    if (texts.description.empty()) texts.description = kDefaultDescription;
    return texts;
}

bool RegisterClassesAt(const RegistryLocation& location, const std::wstring& dllPath) {
    return RegisterComClasses(location.hive, location.root, location.view, dllPath);
}

// The classes of one bitness at the enabled passes, or, when that server is
// not used, its stale class keys removed (never a failure).
bool RegisterOneBitness(bool use, const RegistryLocation& machine, const RegistryLocation& user,
                        const std::wstring& dllPath, const RegistrationTarget& target) {
    if (!use) {
        if (target.writeMachine) RemoveComClassKeys(machine.hive, machine.root, machine.view);
        if (target.writeUser) RemoveComClassKeys(user.hive, user.root, user.view);
        return true;
    }
    if (target.writeMachine && !RegisterClassesAt(machine, dllPath)) return false;
    if (target.writeUser && !RegisterClassesAt(user, dllPath)) return false;
    return true;
}

// ProgID keys without a view flag: what a host that looks the ProgID up in
// the shared classes finds.
bool WriteNeutralProgIds(const RegistrationTarget& target) {
    const RegistryLocation neutral = UserNeutral(target);
    for (const ComClass& entry : ComClassTable) {
        const std::wstring key = KeyPathAt(neutral, ProgIdKeyPath(entry.progId));
        if (!WriteRegString(neutral.hive, key, 0, nullptr, entry.friendlyName)) return false;
        if (!WriteRegString(neutral.hive, key + L"\\CLSID", 0, nullptr, entry.clsid)) return false;
    }
    return true;
}

bool WriteManagedDir(const std::wstring& managedDir, const RegistrationTarget& target) {
    bool allWritten = true;
    for (const RegistryLocation& pass : UserPasses(target)) {
        if (!WriteRegString(pass.hive, KeyPathAt(pass, kQuilmoCoreKey), pass.view, kManagedDirValue, managedDir)) {
            allWritten = false;
        }
    }
    return allWritten;
}

bool WriteOfficeKeysAt(const RegistryLocation& location, const HostTexts& texts) {
    return WriteOfficeAddinKeys(location.hive, location.root, location.view, texts.friendlyName, texts.description);
}

// A machine pass carries the host keys only for a bitness it registers.
bool OfficeKeysAtMachinePass(bool use, const RegistryLocation& pass, const HostTexts& texts,
                             const RegistrationTarget& target) {
    if (use) return WriteOfficeKeysAt(pass, texts);
    if (target.is64BitWindows) RemoveOfficeAddinKeys(pass.hive, pass.root, pass.view);
    return true;
}

bool WriteHostOfficeKeys(const ServerChoice& choice, const HostTexts& texts, const RegistrationTarget& target) {
    if (target.writeUser) {
        const RegistryLocation neutral = UserNeutral(target);
        if (target.is64BitWindows && choice.use32 != choice.use64 && target.writeMachine) {
            RemoveOfficeAddinKeys(neutral.hive, neutral.root, neutral.view);
        } else if (!WriteOfficeKeysAt(neutral, texts)) {
            return false;
        }
    }
    if (!target.writeMachine) return true;
    if (!OfficeKeysAtMachinePass(choice.use32, Machine32Pass(target), texts, target)) return false;
    return !target.is64BitWindows || OfficeKeysAtMachinePass(choice.use64, Machine64Pass(target), texts, target);
}

bool AllowListAtMachinePass(bool use, const RegistryLocation& pass, const RegistrationTarget& target) {
    if (use) return WriteWpsAllowList(pass.hive, pass.root, pass.view);
    if (target.is64BitWindows) RemoveWpsAllowList(pass.hive, pass.root, pass.view);
    return true;
}

bool WriteHostAllowList(const ServerChoice& choice, const RegistrationTarget& target) {
    if (target.writeUser) {
        const RegistryLocation neutral = UserNeutral(target);
        if (!WriteWpsAllowList(neutral.hive, neutral.root, neutral.view)) return false;
    }
    if (!target.writeMachine) return true;
    if (!AllowListAtMachinePass(choice.use32, Machine32Pass(target), target)) return false;
    return !target.is64BitWindows || AllowListAtMachinePass(choice.use64, Machine64Pass(target), target);
}

bool RemoveMachineLeftovers(const RegistrationTarget& target) {
    if (target.writeMachine || !target.cleanMachine) return true;
    return RemoveMachineComRegistration(target);
}

// Steps after the capture, in order; returns the message of the first step
// that fails, or nullptr. reg32 / reg64 are set as their classes land.
const char* WriteCoreRegistration(const CorePaths& paths, const ServerChoice& choice, const HostTexts& texts,
                                  const RegistrationTarget& target, CoreRegistrationResult* result) {
    if (!RegisterOneBitness(choice.use32, Machine32Pass(target), User32Pass(target), paths.server32, target)) {
        return kClasses32Failed;
    }
    result->reg32 = choice.use32;
    if (choice.use64 || target.is64BitWindows) {
        if (!RegisterOneBitness(choice.use64, Machine64Pass(target), User64Pass(target), paths.server64, target)) {
            return kClasses64Failed;
        }
        result->reg64 = choice.use64;
    }
    if (target.writeUser && !WriteNeutralProgIds(target)) return kProgIdsFailed;
    if (!target.writeUser || !WriteManagedDir(paths.managedDir, target)) return kManagedDirFailed;
    if (!WriteHostOfficeKeys(choice, texts, target)) return kOfficeKeysFailed;
    if (!WriteHostAllowList(choice, target)) return kAllowListFailed;
    if (!RemoveMachineLeftovers(target)) return kMachineLeftoversFailed;
    return nullptr;
}

bool SameText(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

bool UserStringEquals(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name,
                      const std::wstring& expected) {
    std::wstring text;
    return ReadRegString(hive, path, view, name, &text) && SameText(text, expected);
}

bool LoadsAtStartup(const RegistryLocation& neutral, const ComClass& entry) {
    UniqueRegKey key;
    const std::wstring path = KeyPathAt(neutral, OfficeAddinKeyPath(entry.officeHost, entry.progId));
    if (RegOpenKeyExW(neutral.hive, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key.get(), L"LoadBehavior", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    return type == REG_DWORD && size == sizeof(value) && value == 3;
}

bool AllowListHasValue(const RegistryLocation& neutral, const ComClass& entry) {
    UniqueRegKey key;
    const std::wstring path = KeyPathAt(neutral, WpsAllowListKeyPath(entry.wpsHost));
    if (RegOpenKeyExW(neutral.hive, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) return false;
    return RegQueryValueExW(key.get(), entry.progId, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool ManagedDirReadsBack(const CorePaths& paths, const RegistrationTarget& target) {
    for (const RegistryLocation& pass : UserPasses(target)) {
        if (!UserStringEquals(pass.hive, KeyPathAt(pass, kQuilmoCoreKey), pass.view, kManagedDirValue,
                              paths.managedDir)) {
            return false;
        }
    }
    return true;
}

bool ClassReadsBack(const ComClass& entry, const CorePaths& paths, bool register32, bool register64,
                    const RegistrationTarget& target) {
    const std::wstring inproc = ComClassKeyPath(entry.clsid) + L"\\InprocServer32";
    const RegistryLocation user32 = User32Pass(target);
    if (register32 && !UserStringEquals(user32.hive, KeyPathAt(user32, inproc), user32.view, nullptr,
                                        paths.server32)) {
        return false;
    }
    const RegistryLocation user64 = User64Pass(target);
    if (register64 && target.is64BitWindows &&
        !UserStringEquals(user64.hive, KeyPathAt(user64, inproc), user64.view, nullptr, paths.server64)) {
        return false;
    }
    const RegistryLocation neutral = UserNeutral(target);
    if (!UserStringEquals(neutral.hive, KeyPathAt(neutral, ProgIdKeyPath(entry.progId) + L"\\CLSID"), 0, nullptr,
                          entry.clsid)) {
        return false;
    }
    if (entry.officeHost != nullptr && !LoadsAtStartup(neutral, entry)) return false;
    if (entry.wpsHost != nullptr && !AllowListHasValue(neutral, entry)) return false;
    return true;
}

}  // namespace

bool RegisterComClasses(HKEY hive, const std::wstring& root, REGSAM view, const std::wstring& dllPath) {
    for (const ComClass& entry : ComClassTable) {
        const std::wstring classKey = JoinRegistryPath(root, ComClassKeyPath(entry.clsid));
        const std::wstring inproc = classKey + L"\\InprocServer32";
        const std::wstring progIdKey = JoinRegistryPath(root, ProgIdKeyPath(entry.progId));
        const bool written = WriteRegString(hive, classKey, view, nullptr, entry.friendlyName) &&
                             WriteRegString(hive, inproc, view, nullptr, dllPath) &&
                             WriteRegString(hive, inproc, view, L"ThreadingModel", L"Apartment") &&
                             WriteRegString(hive, classKey + L"\\ProgID", view, nullptr, entry.progId) &&
                             (!entry.isControl || WriteRegString(hive, classKey + L"\\Control", view, nullptr, L"")) &&
                             WriteRegString(hive, progIdKey, view, nullptr, entry.friendlyName) &&
                             WriteRegString(hive, progIdKey + L"\\CLSID", view, nullptr, entry.clsid);
        if (!written) return false;
    }
    return true;
}

bool RemoveComClassKeys(HKEY hive, const std::wstring& root, REGSAM view) {
    bool allRemoved = true;
    for (const ComClass& entry : ComClassTable) {
        if (!DeleteRegTree(hive, JoinRegistryPath(root, ComClassKeyPath(entry.clsid)), view)) allRemoved = false;
    }
    return allRemoved;
}

bool RemoveProgIdKeys(HKEY hive, const std::wstring& root, REGSAM view) {
    bool allRemoved = true;
    for (const ComClass& entry : ComClassTable) {
        if (!DeleteRegTree(hive, JoinRegistryPath(root, ProgIdKeyPath(entry.progId)), view)) allRemoved = false;
    }
    return allRemoved;
}

bool RemoveMachineComRegistration(const RegistrationTarget& target) {
    bool allRemoved = true;
    for (const RegistryLocation& pass : MachinePasses(target)) {
        // Each removal is attempted even after one failed.
        if (!RemoveComClassKeys(pass.hive, pass.root, pass.view)) allRemoved = false;
        if (!RemoveProgIdKeys(pass.hive, pass.root, pass.view)) allRemoved = false;
        if (!RemoveOfficeAddinKeys(pass.hive, pass.root, pass.view)) allRemoved = false;
        if (!RemoveWpsAllowList(pass.hive, pass.root, pass.view)) allRemoved = false;
    }
    return allRemoved;
}

CoreRegistrationResult RegisterCoreComponents(const std::string& installDir, bool register32, bool register64,
                                              const RegistrationTarget& target, const AddinTexts& givenTexts) {
    CoreRegistrationResult result;
    const CorePaths paths = DeriveCorePaths(installDir);
    ServerChoice choice;
    if (!CheckPreconditions(paths, register32, register64, target, &choice, &result.detail)) return result;
    const HostTexts texts = TextsOrBuiltIn(givenTexts);

    const CoreRegistrationSnapshot before = CaptureCoreRegistrationState(target);
    if (const char* failure = WriteCoreRegistration(paths, choice, texts, target, &result)) {
        RestoreCoreRegistrationState(target, before);
        result.reg32 = false;
        result.reg64 = false;
        result.detail = failure;
        return result;
    }
    result.ok = true;
    return result;
}

bool VerifyCoreRegistration(const std::string& installDir, bool register32, bool register64,
                            const RegistrationTarget& target) {
    const CorePaths paths = DeriveCorePaths(installDir);
    if (paths.managedDir.empty() || !ManagedDirReadsBack(paths, target)) return false;
    for (const ComClass& entry : ComClassTable) {
        if (!ClassReadsBack(entry, paths, register32, register64, target)) return false;
    }
    return true;
}

}  // namespace quilmo
