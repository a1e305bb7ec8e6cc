// The plain rules of the VSTO runtime check and of the publisher
// certificates: dotted versions, the readiness decision, its report and its
// message, the known runtime installers, and the certificates a deployment
// manifest embeds. No Windows headers, so they also build natively and are
// fuzzed.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quilmo {

// Architecture bits of hosts and of Windows: 1 x86, 2 x64, 3 both.
constexpr int kArchX86 = 1;
constexpr int kArchX64 = 2;

// A value the probes could read, could not find, or could not decide.
constexpr int kProbePresent = 0;
constexpr int kProbeAbsent = 1;  // registration absent, loader missing
constexpr int kProbeUnknown = 2;

constexpr int kVstoReady = 0;
constexpr int kVstoMissing = 1;
constexpr int kVstoUncertain = 2;

struct VstoReadiness {
    int state = kVstoUncertain;
    int machineRegistration = kProbeUnknown;
    int hosts = 0;  // architecture bits of the hosts found
    bool hostEvidence = false;
    int osBits = 0;  // 3 on 64-bit Windows, 1 on 32-bit Windows, 0 elsewhere
    int x86Loader = kProbeUnknown;
    int x64Loader = kProbeUnknown;  // unknown on 32-bit Windows
    bool wpsArchUnconfirmed = false;
};

// The state the other fields call for: ready only when the runtime is
// registered and every needed loader is present; missing only when it is
// not registered, every needed loader is missing and a host was seen;
// uncertain otherwise, and whenever a host needs an architecture Windows
// lacks.
int DecideVstoState(const VstoReadiness& readiness);

// The report for the log: "state=... hosts=... host_evidence=...
// wps_arch_unconfirmed=... machine_registration=... x86=... x64=...".
std::string FormatVstoReadiness(const VstoReadiness& readiness);

// The message shown to the user (UTF-8), naming each considered
// architecture whose loader is missing.
std::string DescribeVstoGap(const VstoReadiness& readiness);

// 3 or 4 parts of decimal digits separated by single dots, each at most
// 65,535, nothing else; the first part at least minimumMajor.
bool ParseDottedVersion(const std::string& text, int minimumMajor);

// The two builds of Microsoft's VSTO runtime redistributable the installer
// may start, as lower-case SHA-256 hexadecimal.
extern const char* const kKnownVstoRedistributableHashes[2];

// True when sha256Hex (64 hexadecimal digits, any case) is a known build.
bool IsKnownVstoRedistributableHash(const std::string& sha256Hex);

// Tests stand in their own runtime installer by naming its hash here; the
// product never calls this. An empty text takes the stand-in away.
void SetVstoRedistributableStandInForTesting(const std::string& sha256Hex);

// Largest deployment manifest read for its certificates.
constexpr size_t kMaxVstoManifestBytes = 1048576;

// The texts between "<X509Certificate>" and the next "</X509Certificate>",
// in document order; an opening tag without a closing one ends the scan.
std::vector<std::string> ExtractX509Certificates(const std::string& text);

// The certificate text without tabs, line feeds, carriage returns and
// blanks: what the base64 decoder is given.
std::string CompactBase64Text(const std::string& text);

}  // namespace quilmo
