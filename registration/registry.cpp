#include "registration/registry.h"

#include <algorithm>
#include <atomic>

#include "files/unique_handle.h"

namespace quilmo {

namespace {

constexpr DWORD kGetStringFlags = RRF_RT_REG_SZ | RRF_NOEXPAND;  // 0x10000002
constexpr int kGetStringRounds = 4;
constexpr REGSAM kTreeAccess = KEY_READ | KEY_WRITE | DELETE;  // 0x3001F

std::atomic<RegistryWriteGate*> gCurrentGate{nullptr};

bool ChangeAllowed(RegistryChangeKind kind, HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name) {
    RegistryWriteGate* gate = gCurrentGate.load();
    return gate == nullptr || gate->Allow(RegistryChange{kind, hive, path, view, name});
}

LONG OpenKey(HKEY parent, const std::wstring& path, REGSAM access, UniqueRegKey* key) {
    return RegOpenKeyExW(parent, path.c_str(), 0, access, key->put());
}

LONG CreateKey(HKEY hive, const std::wstring& path, REGSAM access, UniqueRegKey* key) {
    return RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, access, nullptr, key->put(), nullptr);
}

bool WriteValue(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name, DWORD type,
                const void* data, DWORD size) {
    if (hive == nullptr) return false;
    if (!ChangeAllowed(RegistryChangeKind::WriteValue, hive, path, view, name)) return false;
    UniqueRegKey key;
    if (CreateKey(hive, path, KEY_WRITE | view, &key) != ERROR_SUCCESS) return false;
    return RegSetValueExW(key.get(), name, 0, type, static_cast<const BYTE*>(data), size) == ERROR_SUCCESS;
}

ProbeState CombineRange(const ProbeState* first, const ProbeState* last) {
    ProbeState combined = ProbeState::Absent;
    for (const ProbeState* state = first; state != last; ++state) {
        if (*state == ProbeState::Unknown) return ProbeState::Unknown;
        if (*state == ProbeState::Present) combined = ProbeState::Present;
    }
    return combined;
}

// Whether the value is absent before asking for the right to delete it: a
// user who may read but not write still gets "already removed".
bool ValueKnownAbsent(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name) {
    UniqueRegKey key;
    LONG opened = OpenKey(hive, path, KEY_QUERY_VALUE | view, &key);
    if (IsNotFound(opened)) return true;
    if (opened != ERROR_SUCCESS) return false;
    return IsNotFound(RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, nullptr));
}

}  // namespace

bool IsNotFound(LONG result) { return result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND; }

ScopedRegistryWriteGate::ScopedRegistryWriteGate(RegistryWriteGate* gate) : previous_(gCurrentGate.exchange(gate)) {}

ScopedRegistryWriteGate::~ScopedRegistryWriteGate() { gCurrentGate.store(previous_); }

std::wstring JoinRegistryPath(const std::wstring& root, const std::wstring& sub) {
    if (sub.empty()) return root;
    if (root.empty()) return sub;
    std::wstring joined = root;
    if (joined.back() != L'\\') joined += L'\\';
    joined += sub[0] == L'\\' ? sub.substr(1) : sub;
    return joined;
}

bool ReadRegString(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name, std::wstring* text) {
    text->clear();
    if (hive == nullptr) return false;
    UniqueRegKey key;
    if (OpenKey(hive, path, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) {
        return false;
    }
    if (size == 0) return true;
    if (size == 1 || size > kMaxRegStringBytes) return false;
    // Two spare units: data without a terminating zero still ends in one.
    std::vector<wchar_t> buffer(size / 2 + 2, L'\0');
    DWORD bufferBytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    LONG read = RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                                 &bufferBytes);
    if (read != ERROR_SUCCESS || type != REG_SZ) return false;
    *text = buffer.data();
    return true;
}

bool GetRegStringWith(RegGetValueFn getValue, HKEY key, const wchar_t* name, std::wstring* text) {
    text->clear();
    if (key == nullptr) return false;
    for (int round = 0; round < kGetStringRounds; ++round) {
        DWORD type = 0;
        DWORD size = 0;
        if (getValue(key, nullptr, name, kGetStringFlags, &type, nullptr, &size) != ERROR_SUCCESS ||
            type != REG_SZ) {
            return false;
        }
        if (size == 0) return true;
        if (size > kMaxRegStringBytes) return false;
        std::vector<wchar_t> buffer((size + 1) / 2 + 1, L'\0');
        DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        LONG read = getValue(key, nullptr, name, kGetStringFlags, &type, buffer.data(), &bytes);
        if (read == ERROR_MORE_DATA) continue;  // the value grew in between
        if (read != ERROR_SUCCESS || type != REG_SZ) return false;
        size_t units = std::min<size_t>(bytes / sizeof(wchar_t), buffer.size());
        std::wstring returned(buffer.data(), units);
        *text = returned.substr(0, returned.find(L'\0'));
        return true;
    }
    return false;
}

bool GetRegString(HKEY key, const wchar_t* name, std::wstring* text) {
    return GetRegStringWith(RegGetValueW, key, name, text);
}

bool WriteRegString(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name, const std::wstring& text) {
    DWORD size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    return WriteValue(hive, path, view, name, REG_SZ, text.c_str(), size);
}

bool WriteRegDword(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name, DWORD value) {
    return WriteValue(hive, path, view, name, REG_DWORD, &value, sizeof(value));
}

bool DeleteRegTree(HKEY hive, const std::wstring& path, REGSAM view) {
    size_t slash = path.rfind(L'\\');
    if (hive == nullptr || slash == std::wstring::npos || slash == 0 || slash + 1 == path.size()) return false;
    if (!ChangeAllowed(RegistryChangeKind::DeleteTree, hive, path, view, nullptr)) return false;
    {
        UniqueRegKey probe;
        if (IsNotFound(OpenKey(hive, path, KEY_READ | view, &probe))) return true;
    }
    const std::wstring leafName = path.substr(slash + 1);
    UniqueRegKey parent;
    LONG opened = OpenKey(hive, path.substr(0, slash), kTreeAccess | view, &parent);
    if (opened != ERROR_SUCCESS) return IsNotFound(opened);
    UniqueRegKey leaf;
    opened = OpenKey(parent.get(), leafName, kTreeAccess | view, &leaf);
    if (opened != ERROR_SUCCESS) return IsNotFound(opened);
    LONG tree = RegDeleteTreeW(leaf.get(), nullptr);
    leaf.reset();
    LONG removed = RegDeleteKeyExW(parent.get(), leafName.c_str(), view, 0);
    return tree == ERROR_SUCCESS && (removed == ERROR_SUCCESS || IsNotFound(removed));
}

bool DeleteRegValue(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name) {
    if (hive == nullptr) return false;
    if (!ChangeAllowed(RegistryChangeKind::DeleteValue, hive, path, view, name)) return false;
    if (ValueKnownAbsent(hive, path, view, name)) return true;
    UniqueRegKey key;
    LONG opened = OpenKey(hive, path, KEY_SET_VALUE | view, &key);
    if (opened != ERROR_SUCCESS) return IsNotFound(opened);
    LONG deleted = RegDeleteValueW(key.get(), name);
    return deleted == ERROR_SUCCESS || IsNotFound(deleted);
}

ProbeState StateFromRegResult(LONG result) {
    if (result == ERROR_SUCCESS) return ProbeState::Present;
    if (IsNotFound(result)) return ProbeState::Absent;
    return ProbeState::Unknown;
}

ProbeState RegKeyState(HKEY hive, const std::wstring& path, REGSAM view) {
    if (hive == nullptr) return ProbeState::Unknown;
    UniqueRegKey key;
    return StateFromRegResult(OpenKey(hive, path, KEY_READ | view, &key));
}

ProbeState RegValueState(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name) {
    if (hive == nullptr) return ProbeState::Unknown;
    UniqueRegKey key;
    LONG opened = OpenKey(hive, path, KEY_READ | view, &key);
    if (opened != ERROR_SUCCESS) return StateFromRegResult(opened);
    return StateFromRegResult(RegQueryValueExW(key.get(), name, nullptr, nullptr, nullptr, nullptr));
}

ProbeState CombineStates(std::initializer_list<ProbeState> states) {
    return CombineRange(states.begin(), states.end());
}

ProbeState CombineStates(const std::vector<ProbeState>& states) {
    return CombineRange(states.data(), states.data() + states.size());
}

}  // namespace quilmo
