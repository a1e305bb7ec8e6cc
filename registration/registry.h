// The registry primitives every registration step goes through. Each takes
// the hive, a key path relative to it (never starting with a backslash) and a
// view flag (0, KEY_WOW64_32KEY or KEY_WOW64_64KEY) separately, reports only
// ok / not ok or a ProbeState, and never leaves a key open when it returns.
#pragma once

#include <windows.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace quilmo {

enum class ProbeState : int32_t { Absent = 0, Present = 1, Unknown = 2 };

// Strings larger than this are nothing the add-in ever writes; they are
// refused rather than allocated.
constexpr DWORD kMaxRegStringBytes = 64 * 1024;

// An error that says the key, value, file or folder is not there.
bool IsNotFound(LONG result);

// root and sub joined with exactly one backslash; either may be empty.
std::wstring JoinRegistryPath(const std::wstring& root, const std::wstring& sub);

// A REG_SZ value (name nullptr: the default value). Data without a
// terminating zero is returned whole.
bool ReadRegString(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name, std::wstring* text);

// A REG_SZ value of an open key, re-read while it grows between the size
// query and the read (at most four rounds).
bool GetRegString(HKEY key, const wchar_t* name, std::wstring* text);

bool WriteRegString(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name, const std::wstring& text);
bool WriteRegDword(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name, DWORD value);

// Removes the key with its sub-keys; an absent key counts as removed. A
// top-level key (no backslash in path) is never deleted.
bool DeleteRegTree(HKEY hive, const std::wstring& path, REGSAM view);

// Removes one value; a missing key or value counts as removed.
bool DeleteRegValue(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name);

ProbeState RegKeyState(HKEY hive, const std::wstring& path, REGSAM view);
ProbeState RegValueState(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name);

// Unknown if any is Unknown, else Present if any is Present, else Absent.
ProbeState CombineStates(std::initializer_list<ProbeState> states);
ProbeState CombineStates(const std::vector<ProbeState>& states);

// How an open or query result reads as a state: not found is Absent, success
// Present, anything else (access denied included) Unknown.
ProbeState StateFromRegResult(LONG result);

// Every change the primitives above make (a value written, a tree or a
// value deleted) first asks the gate in place, if any; a refused change
// fails as a registry error would, before anything is touched. The product
// never sets a gate: tests use one to fail a chosen write of a long sequence.
enum class RegistryChangeKind { WriteValue, DeleteTree, DeleteValue };

struct RegistryChange {
    RegistryChangeKind kind;
    HKEY hive;
    const std::wstring& path;
    REGSAM view;
    const wchar_t* name;  // the value; nullptr for the default value or a tree
};

class RegistryWriteGate {
public:
    virtual ~RegistryWriteGate() = default;
    virtual bool Allow(const RegistryChange& change) = 0;
};

// Puts a gate in place for the lifetime of the object (one at a time; the
// gate must outlive it).
class ScopedRegistryWriteGate {
public:
    explicit ScopedRegistryWriteGate(RegistryWriteGate* gate);
    ~ScopedRegistryWriteGate();
    ScopedRegistryWriteGate(const ScopedRegistryWriteGate&) = delete;
    ScopedRegistryWriteGate& operator=(const ScopedRegistryWriteGate&) = delete;

private:
    RegistryWriteGate* previous_;
};

// GetRegString with the value reader passed in, so the rounds can be driven.
using RegGetValueFn = LONG(WINAPI*)(HKEY, LPCWSTR, LPCWSTR, DWORD, LPDWORD, PVOID, LPDWORD);
bool GetRegStringWith(RegGetValueFn getValue, HKEY key, const wchar_t* name, std::wstring* text);

}  // namespace quilmo
