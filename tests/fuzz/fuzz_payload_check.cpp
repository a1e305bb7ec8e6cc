// Payload classification and the PE header check. The first byte chooses the
// platform facts; the rest is three newline-separated lists split by NUL:
// manifest paths, failed paths, names present on disk. The whole input is
// also read as the head of a PE file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "manifest/payload_check.h"
#include "manifest/payload_names.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string Section(const std::string& text, int index) {
    size_t start = 0;
    for (int i = 0; i < index; ++i) {
        start = text.find('\0', start);
        if (start == std::string::npos) return std::string();
        ++start;
    }
    size_t end = text.find('\0', start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

bool Lists(const std::vector<std::string>& paths, const char* name) {
    for (const std::string& path : paths) {
        if (quilmo::TopLevelName(path) == name) return true;
    }
    return false;
}

void CheckClassification(const std::string& input) {
    const bool is64 = !input.empty() && (input[0] & 1);
    const bool net48 = !input.empty() && (input[0] & 2);
    const std::string rest = input.empty() ? std::string() : input.substr(1);
    const std::vector<std::string> listed = Lines(Section(rest, 0));
    const std::vector<std::string> failed = Lines(Section(rest, 1));
    const std::vector<std::string> disk = Lines(Section(rest, 2));
    std::set<std::string> onDisk(disk.begin(), disk.end());
    auto fileOnDisk = [&onDisk](const std::string& name) { return onDisk.count(name) != 0; };

    quilmo::PayloadCheck check = quilmo::ClassifyPayloadWith(listed, fileOnDisk, is64, failed, net48);
    Require(!check.detail.empty());
    if (check.mode != quilmo::PayloadMode::Com) Require(!check.register32 && !check.register64);
    if (check.mode == quilmo::PayloadMode::Com) {
        // Nothing is registered that is not complete, present and intact.
        Require(Lists(listed, "quilmo.core.dll") && fileOnDisk(quilmo::kCoreFileName));
        Require(Lists(listed, "quilmo.core.dll.config") && Lists(listed, "library.dll"));
        for (const std::string& path : failed) Require(!quilmo::IsCriticalPayloadFile(path, net48));
        Require(!check.register32 || (Lists(listed, "zudodi32.dll") && fileOnDisk(quilmo::kCore32FileName)));
        Require(!check.register64 || (is64 && Lists(listed, "redero64.dll") && fileOnDisk(quilmo::kCore64FileName)));
        if (is64) Require(check.register32 || check.register64);
        if (!is64) Require(check.register32 && !check.register64);
    }
    if (check.mode == quilmo::PayloadMode::LegacyVsto) {
        Require(!check.coreListed && !check.core32Listed && !check.core64Listed && check.vstoListed);
        for (const std::string& path : failed) Require(!quilmo::IsCriticalPayloadFile(path, net48));
    }
}

void CheckPeHeader(const std::string& bytes) {
    quilmo::ReadAtFn readAt = [&bytes](uint32_t offset, size_t count, unsigned char* out) {
        if (offset > bytes.size() || bytes.size() - offset < count) return false;
        std::memcpy(out, bytes.data() + offset, count);
        return true;
    };
    for (uint16_t machine : {quilmo::kMachineI386, quilmo::kMachineAmd64}) {
        if (!quilmo::PeMachineMatchesWith(readAt, machine)) continue;
        Require(bytes.size() >= 64 && bytes[0] == 'M' && bytes[1] == 'Z');
        uint32_t offset = static_cast<uint8_t>(bytes[60]) | static_cast<uint8_t>(bytes[61]) << 8 |
                          static_cast<uint8_t>(bytes[62]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(bytes[63])) << 24;
        Require(offset >= 64 && offset <= 1048575 && offset + 24 <= bytes.size());
        Require(std::memcmp(bytes.data() + offset, "PE\0\0", 4) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckClassification(input);
    CheckPeHeader(input);
    return 0;
}
