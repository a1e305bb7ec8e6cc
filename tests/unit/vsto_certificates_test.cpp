// The publisher certificates of a VSTO deployment manifest, imported into
// the prefix's certificate stores: manifests made here from a test PKI
// generated at test time (make_vsto_certificates.sh).
#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "files/unique_handle.h"
#include "files/wincrypt_plain.h"
#include "probes/vsto_certificates.h"
#include "support/scratch_dir.h"

namespace quilmo {
namespace {

using testing_support::ScratchDir;
using testing_support::WriteBytes;

std::string ReadFixture(const std::string& name) {
    std::ifstream in(std::string("Z:") + QUILMO_VSTO_CERT_DIR + "/" + name, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string Embedded(const std::string& body) { return "<X509Certificate>" + body + "</X509Certificate>"; }

std::string Manifest(const std::vector<std::string>& certificates, const std::string& padding = "") {
    std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<asmv1:assembly><Signature><KeyInfo>";
    for (const std::string& body : certificates) text += "<X509Data>" + Embedded(body) + "</X509Data>";
    return text + "</KeyInfo></Signature>" + padding + "</asmv1:assembly>\r\n";
}

// Where a certificate landed, and its removal from the stores it may be in.
class StoredCertificate {
public:
    explicit StoredCertificate(const std::string& der)
        : context_(CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                static_cast<DWORD>(der.size()))) {}
    ~StoredCertificate() { Remove(); }
    bool valid() const { return context_.valid(); }

    bool InUserStore(const wchar_t* name) const { return Find(name, CERT_SYSTEM_STORE_CURRENT_USER, false); }
    void Remove() const {
        for (const wchar_t* name : {L"CA", L"TrustedPublisher"}) {
            for (DWORD location : {CERT_SYSTEM_STORE_LOCAL_MACHINE, CERT_SYSTEM_STORE_CURRENT_USER}) {
                for (int copies = 0; copies < 4 && Find(name, location, true); ++copies) {
                }
            }
        }
    }

private:
    bool Find(const wchar_t* name, DWORD location, bool remove) const {
        UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, location, name));
        if (!store) return false;
        PCCERT_CONTEXT found = CertFindCertificateInStore(store.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                          context_.get(), nullptr);
        if (found == nullptr) return false;
        if (remove) {
            CertDeleteCertificateFromStore(found);  // frees the context
        } else {
            CertFreeCertificateContext(found);
        }
        return true;
    }
    UniqueCertContext context_;
};

class VstoCertificates : public testing::Test {
protected:
    void SetUp() override {
        codesign = ReadFixture("codesign.b64");
        intermediate = ReadFixture("intermediate.b64");
        plain = ReadFixture("plain.b64");
        codesignSpare = ReadFixture("codesign_spare.b64");
        plainSpare = ReadFixture("plain_spare.b64");
        ASSERT_NE(codesign.find('\n'), std::string::npos) << "fixtures missing: run the vsto_certificates_make test";
        for (StoredCertificate* stored :
             {&codesignStored, &intermediateStored, &plainStored, &codesignSpareStored, &plainSpareStored}) {
            ASSERT_TRUE(stored->valid());
            stored->Remove();
        }
    }

    CertificateImport Import(const std::string& manifestBytes) {
        EXPECT_TRUE(WriteBytes(scratch / L"Quilmo2025.Word.vsto", manifestBytes));
        return ImportVstoPublisherCertificates(scratch.path() + L"\\");
    }

    std::string codesign, intermediate, plain, codesignSpare, plainSpare;
    StoredCertificate codesignStored{ReadFixture("codesign.der")};
    StoredCertificate intermediateStored{ReadFixture("intermediate.der")};
    StoredCertificate plainStored{ReadFixture("plain.der")};
    // Certificates no other case imports: where nothing may be imported, the
    // stores are asked about these.
    StoredCertificate codesignSpareStored{ReadFixture("codesign_spare.der")};
    StoredCertificate plainSpareStored{ReadFixture("plain_spare.der")};
    ScratchDir scratch;
};

void ExpectCounts(const CertificateImport& result, int publishers, int ca, int failed, bool ok, const char* what) {
    EXPECT_EQ(result.publishers, publishers) << what;
    EXPECT_EQ(result.ca, ca) << what;
    EXPECT_EQ(result.failed, failed) << what;
    EXPECT_EQ(result.ok, ok) << what;
}

TEST_F(VstoCertificates, ThePublisherGoesToTrustedPublishersAndTheIntermediateToCa) {
    ExpectCounts(Import(Manifest({codesign, intermediate})), 1, 1, 0, true, "wrapped base64 bodies");
    EXPECT_TRUE(codesignStored.InUserStore(L"TrustedPublisher"));
    EXPECT_FALSE(codesignStored.InUserStore(L"CA"));
    EXPECT_TRUE(intermediateStored.InUserStore(L"CA"));
    EXPECT_FALSE(intermediateStored.InUserStore(L"TrustedPublisher"));
}

TEST_F(VstoCertificates, APlainCertificateStandsInOnlyWhenNoPublisherIsNamed) {
    ExpectCounts(Import(Manifest({plain})), 1, 0, 0, true, "only a plain certificate");
    EXPECT_TRUE(plainStored.InUserStore(L"TrustedPublisher"));

    ExpectCounts(Import(Manifest({plainSpare, codesign})), 1, 0, 0, true, "a plain one beside the publisher");
    EXPECT_FALSE(plainSpareStored.InUserStore(L"TrustedPublisher"));
    EXPECT_TRUE(codesignStored.InUserStore(L"TrustedPublisher"));
}

TEST_F(VstoCertificates, BrokenMissingEmptyAndOversizedManifestsImportNothingTheyCannotRead) {
    ExpectCounts(Import(Manifest({"not*base64!", codesign})), 1, 0, 1, true, "one broken body");
    ExpectCounts(Import(Manifest({"   \r\n\t"})), 0, 0, 1, false, "a blank body");
    ExpectCounts(Import(Manifest({"QUJD"})), 0, 0, 1, false, "base64 that is no certificate");
    ExpectCounts(Import(Manifest({})), 0, 0, 0, false, "no certificate at all");
    ExpectCounts(Import(""), 0, 0, 1, false, "an empty manifest");
    ExpectCounts(Import(Manifest({codesignSpare}, std::string(1048576, ' '))), 0, 0, 1, false, "over 1 MiB");
    EXPECT_FALSE(codesignSpareStored.InUserStore(L"TrustedPublisher"));
    DeleteFileW((scratch / L"Quilmo2025.Word.vsto").c_str());
    ExpectCounts(ImportVstoPublisherCertificates(scratch.path() + L"\\"), 0, 0, 1, false, "no manifest");
}

}  // namespace
}  // namespace quilmo
