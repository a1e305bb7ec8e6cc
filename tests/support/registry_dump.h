// A full, deterministic listing of registry trees for "the registry is byte
// for byte what it was" assertions. It reads with the plain registry calls
// only, so it is an independent witness of what the code under test did.
//
//   RegistryDump before = DumpRegistry({{HKEY_CURRENT_USER, scratch.path(), 0},
//                                       {HKEY_CURRENT_USER, L"Software\\Classes\\Quilmo.Word", KEY_WOW64_32KEY}});
//   ... change, fail, roll back ...
//   EXPECT_TRUE(SameDump(before, DumpRegistry(roots))) << DescribeDumpDifferences(before, after);
//
// Every key, every value (name, type, exact bytes) below each root is one
// entry of a sorted map, so a missing root, an empty key and a key with an
// empty default value are all told apart, and two dumps of the same trees
// compare entry by entry. Entry names:
//   key:    "HKCU|64|Software\Foo\Bar"                  -> "key"
//   value:  "HKCU|64|Software\Foo\Bar|value:Name"         -> "type 1 bytes 4: 41 00 00 00"
//   absent: "HKCU|64|Software\Foo"  (a root only)          -> "absent"
//   failed: any key that could not be read                 -> "unreadable (error 5)"
// The view is "32", "64" or "-" (0). Names are UTF-8; key paths keep the
// root's spelling and the enumerated names of everything below it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace quilmo {
namespace testing_support {

struct DumpRoot {
    HKEY hive = nullptr;
    std::wstring path;
    REGSAM view = 0;
};

struct RegistryDump {
    std::map<std::string, std::string> entries;
};

// One or several trees into one comparable value.
RegistryDump DumpRegistry(const std::vector<DumpRoot>& roots);
RegistryDump DumpRegistryTree(HKEY hive, const std::wstring& path, REGSAM view);

// The entry names DumpRegistry uses, for tests that expect one entry to
// differ and want to patch or remove exactly that entry before comparing.
std::string DumpKeyName(HKEY hive, const std::wstring& path, REGSAM view);
std::string DumpValueName(HKEY hive, const std::wstring& path, REGSAM view, const std::wstring& valueName);
// The text of a value entry, for building an expected entry.
std::string DumpValueText(DWORD type, const void* data, size_t size);

bool SameDump(const RegistryDump& a, const RegistryDump& b);

// One line per entry that differs, in entry order: "only before", "only
// after" or "changed", with long data cut short. At most maxLines lines plus
// a count of the rest.
std::vector<std::string> DumpDifferences(const RegistryDump& before, const RegistryDump& after,
                                         size_t maxLines = 20);
std::string DescribeDumpDifferences(const RegistryDump& before, const RegistryDump& after, size_t maxLines = 20);

}  // namespace testing_support
}  // namespace quilmo
