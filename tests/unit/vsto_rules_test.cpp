#include "probes/vsto_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quilmo {
namespace {

TEST(DottedVersion, ThreeOrFourPartsOfAtMost65535WithAMinimumMajor) {
    struct Row {
        const char* text;
        int minimumMajor;
        bool accepted;
    };
    const Row rows[] = {
        {"10.0.60910", 10, true},
        {"10.0.60910.0", 10, true},
        {"65535.65535.65535.65535", 10, true},
        {"010.0.1", 10, true},  // leading zeros are digits like any other
        {"9.0.1", 10, false},
        {"9.0.1", 1, true},
        {"0.1.2", 1, false},  // a directory name needs a first part of at least 1
        {"10.0", 10, false},
        {"10.0.1.2.3", 10, false},
        {"10..1", 10, false},
        {"10.0.1.", 10, false},
        {".10.0.1", 10, false},
        {"10.0.65536", 10, false},
        {"10.0.99999999999999999999", 10, false},
        {"10.0.1a", 10, false},
        {"10.0.-1", 10, false},
        {" 10.0.1", 10, false},
        {"10.0.1 ", 10, false},
        {"", 10, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ParseDottedVersion(row.text, row.minimumMajor), row.accepted)
            << "\"" << row.text << "\" minimum " << row.minimumMajor;
    }
}

VstoReadiness Machine(int osBits, int registration, int hosts, int x86, int x64, bool evidence = true,
                      bool wpsUnconfirmed = false) {
    VstoReadiness r;
    r.osBits = osBits;
    r.machineRegistration = registration;
    r.hosts = hosts;
    r.hostEvidence = evidence;
    r.x86Loader = x86;
    r.x64Loader = x64;
    r.wpsArchUnconfirmed = wpsUnconfirmed;
    return r;
}

TEST(VstoReadinessDecision, ReadyOnlyWhenRegisteredAndEveryNeededLoaderIsThere) {
    struct Row {
        const char* what;
        VstoReadiness readiness;
        int state;
    };
    const int P = kProbePresent, A = kProbeAbsent, U = kProbeUnknown;
    const Row rows[] = {
        {"64-bit Windows, 32-bit hosts, x86 loader only", Machine(3, P, 1, P, A), kVstoReady},
        {"the same with the WPS architecture unconfirmed needs both", Machine(3, P, 1, P, A, true, true),
         kVstoUncertain},
        {"64-bit hosts need the x64 loader", Machine(3, P, 2, P, A), kVstoUncertain},
        {"both hosts, both loaders", Machine(3, P, 3, P, P), kVstoReady},
        {"no hosts: Windows' own architectures are needed", Machine(3, P, 0, P, P, false), kVstoReady},
        {"a needed loader unknown", Machine(3, P, 1, U, P), kVstoUncertain},
        {"a 64-bit host on 32-bit Windows", Machine(1, P, 2, P, U), kVstoUncertain},
        {"32-bit Windows, registered, x86 loader", Machine(1, P, 1, P, U), kVstoReady},
        {"nothing registered, no loaders, Office found", Machine(3, A, 1, A, A), kVstoMissing},
        {"nothing registered, no loaders, only a WPS launcher", Machine(3, A, 0, A, A, true, true), kVstoMissing},
        {"nothing registered, no loaders, no host evidence", Machine(3, A, 0, A, A, false), kVstoUncertain},
        {"nothing registered but a loader present", Machine(3, A, 1, P, A), kVstoUncertain},
        {"nothing registered, a loader unknown", Machine(3, A, 1, U, A), kVstoUncertain},
        {"registration unknown", Machine(3, U, 1, P, P), kVstoUncertain},
        {"another processor", Machine(0, U, 0, U, U, false), kVstoUncertain},
        {"another processor with hosts", Machine(0, P, 1, P, P), kVstoUncertain},
    };
    for (const Row& row : rows) EXPECT_EQ(DecideVstoState(row.readiness), row.state) << row.what;
}

TEST(VstoReadinessReport, OneLineOfFixedWords) {
    struct Row {
        VstoReadiness readiness;
        int state;
        const char* line;
    };
    const int P = kProbePresent, A = kProbeAbsent, U = kProbeUnknown;
    const Row rows[] = {
        {Machine(3, P, 1, P, P), kVstoReady,
         "state=ready hosts=x86 host_evidence=yes wps_arch_unconfirmed=no machine_registration=present x86=present "
         "x64=present"},
        {Machine(0, U, 0, U, U, false), kVstoUncertain,
         "state=uncertain hosts=unknown host_evidence=no wps_arch_unconfirmed=no machine_registration=unknown "
         "x86=unknown x64=n/a"},
        {Machine(1, A, 1, A, U), kVstoMissing,
         "state=missing hosts=x86 host_evidence=yes wps_arch_unconfirmed=no machine_registration=absent x86=missing "
         "x64=n/a"},
        {Machine(3, A, 3, A, U, true, true), kVstoUncertain,
         "state=uncertain hosts=x86+x64 host_evidence=yes wps_arch_unconfirmed=yes machine_registration=absent "
         "x86=missing x64=unknown"},
        {Machine(3, P, 2, U, P), kVstoUncertain,
         "state=uncertain hosts=x64 host_evidence=yes wps_arch_unconfirmed=no machine_registration=present "
         "x86=unknown x64=present"},
    };
    for (Row row : rows) {
        row.readiness.state = row.state;
        EXPECT_EQ(FormatVstoReadiness(row.readiness), row.line);
    }
}

TEST(VstoGapMessage, NamesEachConsideredArchitectureWhoseLoaderIsMissing) {
    const std::string head = "未能确认当前 WPS 或 Office 所需的 VSTO 加载组件是否就绪。";
    const std::string x86 = "\n未在常规路径检测到完整的 32 位加载组件。";
    const std::string x64 = "\n未在常规路径检测到完整的 64 位加载组件。";
    const int P = kProbePresent, A = kProbeAbsent, U = kProbeUnknown;
    struct Row {
        const char* what;
        VstoReadiness readiness;
        std::string text;
    };
    const Row rows[] = {
        {"32-bit hosts: only x86 is considered", Machine(3, P, 1, P, A), head},
        {"WPS unconfirmed: Windows' architectures", Machine(3, P, 1, P, A, true, true), head + x64},
        {"no hosts: Windows' architectures", Machine(3, A, 0, A, A, false), head + x86 + x64},
        {"an unknown loader is not called missing", Machine(3, U, 3, U, A), head + x64},
        {"32-bit Windows", Machine(1, A, 0, A, U, false), head + x86},
    };
    for (const Row& row : rows) EXPECT_EQ(DescribeVstoGap(row.readiness), row.text) << row.what;
}

TEST(KnownVstoRedistributable, OnlyTheTwoMicrosoftBuildsOrATestsStandIn) {
    const std::string first = kKnownVstoRedistributableHashes[0];
    const std::string second = kKnownVstoRedistributableHashes[1];
    std::string upper = second;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    const std::string standIn(64, 'a');
    EXPECT_TRUE(IsKnownVstoRedistributableHash(first));
    EXPECT_TRUE(IsKnownVstoRedistributableHash(upper));
    EXPECT_FALSE(IsKnownVstoRedistributableHash(first.substr(0, 63)));
    EXPECT_FALSE(IsKnownVstoRedistributableHash(first + "0"));
    EXPECT_FALSE(IsKnownVstoRedistributableHash(""));
    EXPECT_FALSE(IsKnownVstoRedistributableHash(standIn));

    SetVstoRedistributableStandInForTesting(standIn);
    EXPECT_TRUE(IsKnownVstoRedistributableHash(standIn));
    SetVstoRedistributableStandInForTesting("not a hash");
    EXPECT_FALSE(IsKnownVstoRedistributableHash(standIn));
    EXPECT_FALSE(IsKnownVstoRedistributableHash("not a hash"));
    SetVstoRedistributableStandInForTesting("");
    EXPECT_TRUE(IsKnownVstoRedistributableHash(first));
}

TEST(EmbeddedCertificates, TheTextsBetweenTagsInDocumentOrder) {
    struct Row {
        const char* what;
        std::string manifest;
        std::vector<std::string> found;
    };
    const Row rows[] = {
        {"none", "<asmv1:assembly/>", {}},
        {"two, with line breaks kept",
         "<a><X509Certificate>MIIB\r\nAAA=</X509Certificate><X509Certificate>MIIC</X509Certificate></a>",
         {"MIIB\r\nAAA=", "MIIC"}},
        {"an empty one", "<X509Certificate></X509Certificate>", {""}},
        {"an opening tag without a closing one ends the scan",
         "<X509Certificate>ONE</X509Certificate><X509Certificate>TWO", {"ONE"}},
        {"a closing tag first is passed over", "</X509Certificate><X509Certificate>ONE</X509Certificate>", {"ONE"}},
        {"nested opening tags: up to the next closing tag",
         "<X509Certificate>A<X509Certificate>B</X509Certificate>C</X509Certificate>", {"A<X509Certificate>B"}},
        {"tags in another case are not tags", "<x509certificate>A</x509certificate>", {}},
        {"bytes are bytes", std::string("<X509Certificate>\0\xff</X509Certificate>", 37), {std::string("\0\xff", 2)}},
    };
    for (const Row& row : rows) EXPECT_EQ(ExtractX509Certificates(row.manifest), row.found) << row.what;
}

TEST(EmbeddedCertificates, Base64TextLosesOnlyTabsLineBreaksAndBlanks) {
    EXPECT_EQ(CompactBase64Text(" MII\tB\r\nA A=\n"), "MIIBAA=");
    EXPECT_EQ(CompactBase64Text("\v\f"), "\v\f");
    EXPECT_EQ(CompactBase64Text(" \t\r\n"), "");
}

}  // namespace
}  // namespace quilmo
