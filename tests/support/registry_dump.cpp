#include "support/registry_dump.h"

#include <cstdint>
#include <sstream>

#include "files/text_encoding.h"
#include "files/unique_handle.h"

namespace quilmo {
namespace testing_support {

namespace {

constexpr DWORD kMaxValueNameUnits = 16384;  // 16,383 characters and the zero
constexpr DWORD kMaxKeyNameUnits = 256;      // 255 characters and the zero
constexpr size_t kShownDataChars = 160;

std::string HiveName(HKEY hive) {
    if (hive == HKEY_CURRENT_USER) return "HKCU";
    if (hive == HKEY_LOCAL_MACHINE) return "HKLM";
    if (hive == HKEY_CLASSES_ROOT) return "HKCR";
    if (hive == HKEY_USERS) return "HKU";
    if (hive == nullptr) return "no-hive";
    std::ostringstream text;
    text << "hive@" << std::hex << reinterpret_cast<uintptr_t>(hive);
    return text.str();
}

std::string ViewName(REGSAM view) {
    if ((view & KEY_WOW64_64KEY) != 0) return "64";
    if ((view & KEY_WOW64_32KEY) != 0) return "32";
    return "-";
}

std::string Unreadable(LONG error) { return "unreadable (error " + std::to_string(error) + ")"; }

void DumpValues(HKEY key, const std::string& keyName, RegistryDump* dump) {
    std::vector<wchar_t> name(kMaxValueNameUnits + 1);
    for (DWORD index = 0;; ++index) {
        DWORD nameUnits = static_cast<DWORD>(name.size());
        LONG listed = RegEnumValueW(key, index, name.data(), &nameUnits, nullptr, nullptr, nullptr, nullptr);
        if (listed == ERROR_NO_MORE_ITEMS) return;
        if (listed != ERROR_SUCCESS) {
            dump->entries[keyName + "|value-index:" + std::to_string(index)] = Unreadable(listed);
            return;
        }
        std::wstring valueName(name.data(), nameUnits);
        std::string entry = keyName + "|value:" + WideToUtf8(valueName);
        DWORD type = 0;
        DWORD size = 0;
        LONG sized = RegQueryValueExW(key, valueName.c_str(), nullptr, &type, nullptr, &size);
        if (sized != ERROR_SUCCESS) {
            dump->entries[entry] = Unreadable(sized);
            continue;
        }
        std::vector<BYTE> data(size);
        LONG read = size == 0 ? ERROR_SUCCESS
                              : RegQueryValueExW(key, valueName.c_str(), nullptr, &type, data.data(), &size);
        if (read != ERROR_SUCCESS) {
            dump->entries[entry] = Unreadable(read);
            continue;
        }
        data.resize(size);
        dump->entries[entry] = DumpValueText(type, data.data(), data.size());
    }
}

void DumpKey(HKEY hive, const std::wstring& path, REGSAM view, bool isRoot, RegistryDump* dump) {
    std::string keyName = DumpKeyName(hive, path, view);
    if (hive == nullptr) {
        dump->entries[keyName] = "absent";
        return;
    }
    UniqueRegKey key;
    LONG opened = RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | view, key.put());
    if (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_PATH_NOT_FOUND) {
        // Below a root this means the key went away while it was listed.
        dump->entries[keyName] = isRoot ? "absent" : Unreadable(opened);
        return;
    }
    if (opened != ERROR_SUCCESS) {
        dump->entries[keyName] = Unreadable(opened);
        return;
    }
    dump->entries[keyName] = "key";
    DumpValues(key.get(), keyName, dump);
    std::vector<wchar_t> name(kMaxKeyNameUnits + 1);
    std::vector<std::wstring> children;
    for (DWORD index = 0;; ++index) {
        DWORD nameUnits = static_cast<DWORD>(name.size());
        LONG listed = RegEnumKeyExW(key.get(), index, name.data(), &nameUnits, nullptr, nullptr, nullptr, nullptr);
        if (listed == ERROR_NO_MORE_ITEMS) break;
        if (listed != ERROR_SUCCESS) {
            dump->entries[keyName + "|subkey-index:" + std::to_string(index)] = Unreadable(listed);
            break;
        }
        children.emplace_back(name.data(), nameUnits);
    }
    key.reset();
    for (const std::wstring& child : children) {
        DumpKey(hive, path.empty() ? child : path + L"\\" + child, view, false, dump);
    }
}

std::string Shortened(const std::string& text, size_t from = 0) {
    if (text.size() <= kShownDataChars) return text;
    if (from + kShownDataChars > text.size()) from = text.size() > kShownDataChars ? text.size() - kShownDataChars : 0;
    std::string shown = from == 0 ? "" : "..." + std::to_string(from) + ": ";
    shown += text.substr(from, kShownDataChars);
    if (from + kShownDataChars < text.size()) shown += "... (" + std::to_string(text.size()) + " chars)";
    return shown;
}

// Long data is shown from a little before the first character that differs.
size_t ShownFrom(const std::string& a, const std::string& b) {
    size_t same = 0;
    while (same < a.size() && same < b.size() && a[same] == b[same]) ++same;
    return same < kShownDataChars / 2 ? 0 : same - kShownDataChars / 4;
}

}  // namespace

std::string DumpKeyName(HKEY hive, const std::wstring& path, REGSAM view) {
    return HiveName(hive) + "|" + ViewName(view) + "|" + WideToUtf8(path);
}

std::string DumpValueName(HKEY hive, const std::wstring& path, REGSAM view, const std::wstring& valueName) {
    return DumpKeyName(hive, path, view) + "|value:" + WideToUtf8(valueName);
}

std::string DumpValueText(DWORD type, const void* data, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string text = "type " + std::to_string(type) + ", " + std::to_string(size) + " bytes: ";
    const auto* bytes = static_cast<const uint8_t*>(data);
    text.reserve(text.size() + size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0xF];
    }
    return text;
}

RegistryDump DumpRegistry(const std::vector<DumpRoot>& roots) {
    RegistryDump dump;
    for (const DumpRoot& root : roots) DumpKey(root.hive, root.path, root.view, true, &dump);
    return dump;
}

RegistryDump DumpRegistryTree(HKEY hive, const std::wstring& path, REGSAM view) {
    return DumpRegistry({{hive, path, view}});
}

bool SameDump(const RegistryDump& a, const RegistryDump& b) { return a.entries == b.entries; }

std::vector<std::string> DumpDifferences(const RegistryDump& before, const RegistryDump& after, size_t maxLines) {
    std::vector<std::string> lines;
    size_t more = 0;
    auto add = [&](std::string line) {
        if (lines.size() < maxLines) {
            lines.push_back(std::move(line));
        } else {
            ++more;
        }
    };
    auto b = before.entries.begin();
    auto a = after.entries.begin();
    while (b != before.entries.end() || a != after.entries.end()) {
        if (a == after.entries.end() || (b != before.entries.end() && b->first < a->first)) {
            add("only before: " + b->first + " = " + Shortened(b->second));
            ++b;
        } else if (b == before.entries.end() || a->first < b->first) {
            add("only after: " + a->first + " = " + Shortened(a->second));
            ++a;
        } else {
            if (a->second != b->second) {
                size_t from = ShownFrom(b->second, a->second);
                add("changed: " + b->first + "\n    before: " + Shortened(b->second, from) +
                    "\n    after:  " + Shortened(a->second, from));
            }
            ++a;
            ++b;
        }
    }
    if (more != 0) lines.push_back("... and " + std::to_string(more) + " more differences");
    return lines;
}

std::string DescribeDumpDifferences(const RegistryDump& before, const RegistryDump& after, size_t maxLines) {
    std::vector<std::string> lines = DumpDifferences(before, after, maxLines);
    if (lines.empty()) return "the dumps are identical (" + std::to_string(before.entries.size()) + " entries)";
    std::string text = "registry dumps differ:\n";
    for (const std::string& line : lines) text += "  " + line + "\n";
    return text;
}

}  // namespace testing_support
}  // namespace quilmo
