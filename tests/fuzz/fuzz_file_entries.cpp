// The file list and the values read from a manifest. The input up to its
// first NUL is the key to look up and also the release version, so versions
// that hold placeholders are tried too; the rest is the manifest text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "manifest/manifest_reader.h"
#include "manifest/url_template.h"

namespace {

const std::string::size_type kNone = std::string::npos;
const char kBase[] = "https://dl.example.cn/";

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

void CheckFileEntries(const std::string& text, const std::string& version) {
    std::vector<quilmo::ManifestFileEntry> entries;
    std::string badPath, badHash;
    const bool ok = quilmo::ReadFileEntries(text, version, kBase, entries, badPath, badHash);
    // Nothing unchecked may reach the downloader.
    for (const quilmo::ManifestFileEntry& entry : entries) {
        Require(!entry.url.empty() && entry.url.find('\\') == kNone);
        Require(quilmo::IsSafeRelativePath(entry.path) && entry.path.find('/') == kNone);
        Require(quilmo::IsSha256Hex(entry.hash));
    }
    // A refused release names an entry that really is bad, and lists nothing.
    if (!ok) Require(entries.empty() && !(quilmo::IsSafeRelativePath(badPath) && quilmo::IsSha256Hex(badHash)));
}

struct Reading {
    bool ok;
    std::vector<quilmo::ManifestFileEntry> entries;
    std::string badPath, badHash;
};

Reading ReadList(const std::string& text) {
    Reading r;
    r.ok = quilmo::ReadFileEntries(text, "1.0", kBase, r.entries, r.badPath, r.badHash);
    return r;
}

bool SameApartFromSize(const Reading& a, const Reading& b) {
    if (a.ok != b.ok || a.badPath != b.badPath || a.badHash != b.badHash || a.entries.size() != b.entries.size()) {
        return false;
    }
    for (size_t i = 0; i < a.entries.size(); ++i) {
        const quilmo::ManifestFileEntry& x = a.entries[i];
        const quilmo::ManifestFileEntry& y = b.entries[i];
        if (x.url != y.url || x.path != y.path || x.hash != y.hash) return false;
    }
    return true;
}

// Installers that predate "size" must read new manifests unchanged: an entry
// whose path is any byte string reads the same with a size added first or
// last, bare or quoted, and the size itself is read back whenever the entry
// is.
void CheckSizeChangesNothingElse(const std::string& value) {
    std::string path;
    for (char c : value) {
        if (c == '"' || c == '\\') path += '\\';
        path += c;
    }
    const std::string fields = "\"url\":\"[host]f\",\"path\":\"" + path +
                               "\",\"hash\":\"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\"";
    const Reading plain = ReadList("{\"Files\":[{" + fields + "}]}");
    const Reading last = ReadList("{\"Files\":[{" + fields + ",\"size\":12345}]}");
    const Reading first = ReadList("{\"Files\":[{\"size\":\"67\"," + fields + "}]}");
    Require(SameApartFromSize(plain, last) && SameApartFromSize(plain, first));
    for (const quilmo::ManifestFileEntry& entry : plain.entries) Require(!entry.size);
    for (const quilmo::ManifestFileEntry& entry : first.entries) Require(entry.size && *entry.size == 67);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string::size_type nul = input.find('\0');
    const std::string key = nul == kNone ? "Vison" : input.substr(0, nul);
    const std::string text = nul == kNone ? input : input.substr(nul + 1);

    CheckFileEntries(text, key);
    CheckSizeChangesNothingElse(key);
    // Unescaping only ever drops bytes.
    Require(quilmo::GetManifestValue(text, key).size() <= text.size());
    Require(quilmo::UnescapeJsonString(text).size() <= text.size());
    Require(quilmo::ExpandUrlTemplate(text, key, "https://[host]/[vision]\\").find('\\') == kNone);
    return 0;
}
