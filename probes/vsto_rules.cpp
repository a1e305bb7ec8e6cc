#include "probes/vsto_rules.h"

#include <cctype>
#include <mutex>

namespace quilmo {

namespace {

bool HasLoaderState(const VstoReadiness& r, int needed, int wanted) {
    if ((needed & kArchX86) && r.x86Loader != wanted) return false;
    if ((needed & kArchX64) && r.x64Loader != wanted) return false;
    return true;
}

const char* HostsWord(int hosts) {
    switch (hosts) {
        case kArchX86 | kArchX64:
            return "x86+x64";
        case kArchX86:
            return "x86";
        case kArchX64:
            return "x64";
    }
    return "unknown";
}

const char* StateWord(int state) {
    switch (state) {
        case kVstoReady:
            return "ready";
        case kVstoMissing:
            return "missing";
    }
    return "uncertain";
}

const char* RegistrationWord(int value) {
    switch (value) {
        case kProbePresent:
            return "present";
        case kProbeAbsent:
            return "absent";
    }
    return "unknown";
}

const char* LoaderWord(int value) {
    switch (value) {
        case kProbePresent:
            return "present";
        case kProbeAbsent:
            return "missing";
    }
    return "unknown";
}

const char* YesNo(bool value) { return value ? "yes" : "no"; }

std::mutex g_standInMutex;
std::string g_standInHash;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool IsHex64(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

}  // namespace

int DecideVstoState(const VstoReadiness& r) {
    if (r.osBits == 0 || (r.hosts & ~r.osBits) != 0) return kVstoUncertain;
    const int needed = (r.hosts != 0 && !r.wpsArchUnconfirmed) ? r.hosts : r.osBits;
    const bool allPresent = HasLoaderState(r, needed, kProbePresent);
    const bool allMissing = HasLoaderState(r, needed, kProbeAbsent);
    if (r.machineRegistration == kProbePresent) return allPresent ? kVstoReady : kVstoUncertain;
    if (r.machineRegistration == kProbeAbsent) {
        return (allMissing && (r.hosts != 0 || r.hostEvidence)) ? kVstoMissing : kVstoUncertain;
    }
    return kVstoUncertain;
}

std::string FormatVstoReadiness(const VstoReadiness& r) {
    std::string line = std::string("state=") + StateWord(r.state) + " hosts=" + HostsWord(r.hosts) +
                       " host_evidence=" + YesNo(r.hostEvidence) + " wps_arch_unconfirmed=" +
                       YesNo(r.wpsArchUnconfirmed) + " machine_registration=" +
                       RegistrationWord(r.machineRegistration) + " x86=" + LoaderWord(r.x86Loader) + " x64=";
    line += (r.osBits & kArchX64) ? LoaderWord(r.x64Loader) : "n/a";
    return line;
}

std::string DescribeVstoGap(const VstoReadiness& r) {
    std::string text = "未能确认当前 WPS 或 Office 所需的 VSTO 加载组件是否就绪。";
    const int considered = (r.hosts == 0 || r.wpsArchUnconfirmed) ? r.osBits : r.hosts;
    if ((considered & kArchX86) && r.x86Loader == kProbeAbsent) text += "\n未在常规路径检测到完整的 32 位加载组件。";
    if ((considered & kArchX64) && r.x64Loader == kProbeAbsent) text += "\n未在常规路径检测到完整的 64 位加载组件。";
    return text;
}

bool ParseDottedVersion(const std::string& text, int minimumMajor) {
    int parts = 0;
    size_t at = 0;
    long first = -1;
    while (true) {
        size_t digits = 0;
        long value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            value = value * 10 + (text[at] - '0');
            if (value > 65535) return false;
            ++digits;
            ++at;
        }
        if (digits == 0) return false;
        if (++parts > 4) return false;
        if (first < 0) first = value;
        if (at == text.size()) break;
        if (text[at] != '.') return false;
        ++at;
    }
    return parts >= 3 && first >= minimumMajor;
}

const char* const kKnownVstoRedistributableHashes[2] = {
    "c34e03c24eea01f90d5796490f38822884de7a7da34232526e728ffc8073c2a1",
    "cfe1a40bbe4a50022db2164abdb0154984e2cecb761a23cdc81cb5754f6e0a18",
};

bool IsKnownVstoRedistributableHash(const std::string& sha256Hex) {
    if (!IsHex64(sha256Hex)) return false;
    const std::string lower = Lower(sha256Hex);
    for (const char* known : kKnownVstoRedistributableHashes) {
        if (lower == known) return true;
    }
    std::lock_guard<std::mutex> lock(g_standInMutex);
    return !g_standInHash.empty() && lower == g_standInHash;
}

void SetVstoRedistributableStandInForTesting(const std::string& sha256Hex) {
    std::lock_guard<std::mutex> lock(g_standInMutex);
    g_standInHash = IsHex64(sha256Hex) ? Lower(sha256Hex) : std::string();
}

std::vector<std::string> ExtractX509Certificates(const std::string& text) {
    static const std::string kOpen = "<X509Certificate>";
    static const std::string kClose = "</X509Certificate>";
    std::vector<std::string> found;
    size_t at = 0;
    while (true) {
        const size_t open = text.find(kOpen, at);
        if (open == std::string::npos) break;
        const size_t bodyStart = open + kOpen.size();
        const size_t close = text.find(kClose, bodyStart);
        if (close == std::string::npos) break;
        found.push_back(text.substr(bodyStart, close - bodyStart));
        at = close + kClose.size();
    }
    return found;
}

std::string CompactBase64Text(const std::string& text) {
    std::string compact;
    compact.reserve(text.size());
    for (char c : text) {
        if (c != '\t' && c != '\n' && c != '\r' && c != ' ') compact.push_back(c);
    }
    return compact;
}

}  // namespace quilmo
