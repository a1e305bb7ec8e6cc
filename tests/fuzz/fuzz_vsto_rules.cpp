// The VSTO rules on any bytes: the first eight bytes choose the readiness
// facts; the whole input is read as a deployment manifest, and as a dotted
// version. Checks what must hold whatever the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "probes/vsto_rules.h"

namespace {

void Require(bool condition) {
    if (!condition) __builtin_trap();
}

quilmo::VstoReadiness ReadinessFrom(const uint8_t* data, size_t size) {
    quilmo::VstoReadiness r;
    auto at = [&](size_t i) { return i < size ? data[i] : 0; };
    r.machineRegistration = at(0) % 4;  // 3: a value no probe returns
    r.hosts = at(1) % 5;
    r.hostEvidence = at(2) & 1;
    r.osBits = at(3) % 4;
    r.x86Loader = at(4) % 4;
    r.x64Loader = at(5) % 4;
    r.wpsArchUnconfirmed = at(6) & 1;
    r.state = at(7) % 4;
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    const quilmo::VstoReadiness r = ReadinessFrom(data, size);
    const int state = quilmo::DecideVstoState(r);
    Require(state == quilmo::kVstoReady || state == quilmo::kVstoMissing || state == quilmo::kVstoUncertain);
    // Unknown values never make the runtime ready.
    if (state == quilmo::kVstoReady) Require(r.machineRegistration == quilmo::kProbePresent && r.osBits != 0);
    if (state == quilmo::kVstoMissing) Require(r.machineRegistration == quilmo::kProbeAbsent);
    const std::string line = quilmo::FormatVstoReadiness(r);
    Require(line.rfind("state=", 0) == 0 && line.find('\n') == std::string::npos);
    Require(quilmo::DescribeVstoGap(r).rfind("未能确认", 0) == 0);

    size_t total = 0;
    for (const std::string& body : quilmo::ExtractX509Certificates(text)) {
        Require(text.find("<X509Certificate>" + body + "</X509Certificate>") != std::string::npos);
        total += body.size() + 35;
        const std::string compact = quilmo::CompactBase64Text(body);
        Require(compact.size() <= body.size());
        Require(compact.find_first_of(" \t\r\n") == std::string::npos);
    }
    Require(total <= size);

    if (quilmo::ParseDottedVersion(text, 10)) {
        Require(quilmo::ParseDottedVersion(text, 0));
        Require(text.find_first_not_of("0123456789.") == std::string::npos);
    }
    quilmo::IsKnownVstoRedistributableHash(text);
    return 0;
}
