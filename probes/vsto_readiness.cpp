#include "probes/vsto_readiness.h"

#include <vector>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "manifest/sha256.h"
#include "probes/host_detection.h"

namespace quilmo {

namespace {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr DWORD kMinimumVersionNumber = 10000000;

bool ReadExactly(HANDLE file, void* buffer, DWORD size, DWORD* got) {
    *got = 0;
    return ReadFile(file, buffer, size, got, nullptr) != FALSE;
}

uint16_t Little16(const unsigned char* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

uint32_t Little32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

// One "Version" value: present, or unknown for anything unreadable or too old.
int VersionValueState(HKEY key) {
    unsigned char buffer[128] = {};
    DWORD type = 0;
    DWORD size = 126;
    if (RegQueryValueExW(key, L"Version", nullptr, &type, buffer, &size) != ERROR_SUCCESS) return kProbeUnknown;
    if (type == REG_DWORD && size == 4 && Little32(buffer) >= kMinimumVersionNumber) return kProbePresent;
    if (type == REG_SZ && size % 2 == 0) {
        std::wstring text(reinterpret_cast<const wchar_t*>(buffer));
        if (ParseDottedVersion(WideToUtf8(text), 10)) return kProbePresent;
    }
    return kProbeUnknown;
}

// Present in either view wins, then unknown in either, else absent.
int CombineViews(int first, int second) {
    if (first == kProbePresent || second == kProbePresent) return kProbePresent;
    if (first == kProbeUnknown || second == kProbeUnknown) return kProbeUnknown;
    return kProbeAbsent;
}

VstoReadiness OtherProcessor() {
    VstoReadiness r;  // everything unknown, nothing probed
    r.state = kVstoUncertain;
    return r;
}

}  // namespace

int ReadVstoRuntimeRegistration(REGSAM view) {
    int result = kProbeAbsent;
    for (const wchar_t* path :
         {L"SOFTWARE\\Microsoft\\VSTO Runtime Setup\\v4", L"SOFTWARE\\Microsoft\\VSTO Runtime Setup\\v4R"}) {
        UniqueRegKey key;
        LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, view | KEY_QUERY_VALUE, key.put());
        if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_PATH_NOT_FOUND) continue;
        if (rc != ERROR_SUCCESS) {
            result = kProbeUnknown;
            continue;
        }
        const int state = VersionValueState(key.get());
        if (state == kProbePresent) return kProbePresent;
        result = state;
    }
    return result;
}

int CheckPeImage(const std::wstring& path, uint16_t machine) {
    UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ? kProbeAbsent : kProbeUnknown;
    }
    unsigned char dos[64] = {};
    DWORD got = 0;
    if (!ReadExactly(file.get(), dos, sizeof dos, &got)) return kProbeUnknown;
    if (got < sizeof dos || dos[0] != 'M' || dos[1] != 'Z') return kProbeAbsent;
    const uint32_t offset = Little32(dos + 60);
    if (offset < 64) return kProbeAbsent;
    LARGE_INTEGER to;
    to.QuadPart = offset;
    if (!SetFilePointerEx(file.get(), to, nullptr, FILE_BEGIN)) return kProbeUnknown;
    unsigned char header[24] = {};
    if (!ReadExactly(file.get(), header, sizeof header, &got)) return kProbeUnknown;
    if (got < sizeof header) return kProbeAbsent;
    const bool signature = header[0] == 'P' && header[1] == 'E' && header[2] == 0 && header[3] == 0;
    const bool isDll = (Little16(header + 22) & IMAGE_FILE_DLL) != 0;
    return (signature && Little16(header + 4) == machine && isDll) ? kProbePresent : kProbeAbsent;
}

int CheckVstoLoader(REGSAM view, uint16_t machine) {
    const std::wstring common =
        ReadFixedDrivePath(HKEY_LOCAL_MACHINE, view, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"CommonFilesDir");
    if (common.empty()) return kProbeUnknown;
    const std::wstring vsto = common + L"\\Microsoft Shared\\VSTO\\";
    const int engine = CheckPeImage(vsto + L"vstoee.dll", machine);
    const int loader = CheckPeImage(vsto + L"10.0\\VSTOLoader.dll", machine);
    if (engine == kProbeUnknown || loader == kProbeUnknown) return kProbeUnknown;
    return (engine == kProbePresent && loader == kProbePresent) ? kProbePresent : kProbeAbsent;
}

VstoReadiness EvaluateVstoReadiness() {
    SYSTEM_INFO info = {};
    GetNativeSystemInfo(&info);
    const bool windows64 = info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    if (!windows64 && info.wProcessorArchitecture != PROCESSOR_ARCHITECTURE_INTEL) return OtherProcessor();

    const REGSAM view32 = windows64 ? KEY_WOW64_32KEY : 0;
    VstoReadiness r;
    r.osBits = windows64 ? (kArchX86 | kArchX64) : kArchX86;
    const HostScan hosts = DiscoverHosts(windows64 ? std::vector<REGSAM>{view32, KEY_WOW64_64KEY} : std::vector<REGSAM>{0});
    r.hosts = hosts.hostBits;
    r.hostEvidence = hosts.hostEvidence;
    r.wpsArchUnconfirmed = hosts.wpsArchUnconfirmed;
    r.machineRegistration = windows64 ? CombineViews(ReadVstoRuntimeRegistration(view32),
                                                     ReadVstoRuntimeRegistration(KEY_WOW64_64KEY))
                                      : ReadVstoRuntimeRegistration(0);
    r.x86Loader = CheckVstoLoader(view32, kMachineI386);
    r.x64Loader = windows64 ? CheckVstoLoader(KEY_WOW64_64KEY, kMachineAmd64) : kProbeUnknown;
    r.state = DecideVstoState(r);
    return r;
}

bool IsKnownVstoRedistributable(const std::wstring& path) {
    const std::string digest = Sha256OfFile(path);
    return !digest.empty() && IsKnownVstoRedistributableHash(digest);
}

}  // namespace quilmo
