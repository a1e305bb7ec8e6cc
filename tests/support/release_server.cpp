#include "support/release_server.h"

#include <windows.h>
#include "files/wincrypt_plain.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "files/text_encoding.h"

namespace quilmo::test {

namespace {

std::string ReadAll(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteAll(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out << bytes;
    EXPECT_TRUE(out.good()) << "cannot write " << WideToUtf8(path);
}

std::string Port(const char* name) {
    std::string port = ReadAll(ReleaseServer::StatePath(name));
    EXPECT_FALSE(port.empty()) << "the release server is not running (no " << name << ")";
    return port;
}

// Reads "key": "value" out of one line of the server's own request log.
std::string JsonField(const std::string& line, const std::string& key) {
    std::string needle = "\"" + key + "\": \"";
    size_t at = line.find(needle);
    if (at == std::string::npos) return std::string();
    size_t start = at + needle.size();
    size_t end = line.find('"', start);
    return end == std::string::npos ? std::string() : line.substr(start, end - start);
}

// Reads "key": 123 (or null) out of one line of the server's logs.
std::string JsonNumber(const std::string& line, const std::string& key) {
    std::string needle = "\"" + key + "\": ";
    size_t at = line.find(needle);
    if (at == std::string::npos) return std::string();
    size_t start = at + needle.size();
    size_t end = line.find_first_of(",}", start);
    return end == std::string::npos ? std::string() : line.substr(start, end - start);
}

}  // namespace

std::wstring ReleaseServer::StatePath(const std::string& relativePath) {
    std::wstring path = L"Z:" + Utf8ToWide(QUILMO_TEST_SERVER_DIR) + L"/" + Utf8ToWide(relativePath);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

std::string ReleaseServer::HttpsBase() { return "https://localhost:" + Port("https_port") + "/"; }
std::string ReleaseServer::HttpBase() { return "http://localhost:" + Port("http_port") + "/"; }
std::string ReleaseServer::UntrustedBase() { return "https://localhost:" + Port("untrusted_port") + "/"; }

void ReleaseServer::Script(const std::string& json) { WriteAll(StatePath("script.json"), json); }

void ReleaseServer::PutFile(const std::string& relativePath, const std::string& bytes) {
    std::wstring path = StatePath("www/" + relativePath);
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    WriteAll(path, bytes);
}

void ReleaseServer::ClearRequests() {
    DeleteFileW(StatePath("requests.log").c_str());
    DeleteFileW(StatePath("sent.log").c_str());
}

std::vector<SentBody> ReleaseServer::SentBodies(size_t atLeast, DWORD waitMs) {
    std::vector<SentBody> bodies;
    const DWORD start = GetTickCount();
    for (;;) {
        bodies.clear();
        std::istringstream log(ReadAll(StatePath("sent.log")));
        for (std::string line; std::getline(log, line);) {
            if (line.empty()) continue;
            SentBody body;
            body.path = JsonField(line, "path");
            body.sent = std::strtoull(JsonNumber(line, "sent").c_str(), nullptr, 10);
            const std::string length = JsonNumber(line, "length");
            body.endless = length == "null";
            body.length = std::strtoull(length.c_str(), nullptr, 10);
            bodies.push_back(body);
        }
        if (bodies.size() >= atLeast || GetTickCount() - start > waitMs) return bodies;
        Sleep(50);
    }
}

std::vector<ServerRequest> ReleaseServer::Requests() {
    std::vector<ServerRequest> requests;
    std::istringstream log(ReadAll(StatePath("requests.log")));
    for (std::string line; std::getline(log, line);) {
        if (line.empty()) continue;
        requests.push_back({JsonField(line, "listener"), JsonField(line, "scheme"), JsonField(line, "path"),
                            JsonField(line, "query"), JsonField(line, "agent"), JsonField(line, "name")});
    }
    return requests;
}

void ReleaseServer::UseInstallRelease(const std::string& caseName) { WriteAll(StatePath("release_case"), caseName); }

std::vector<ServerRequest> ReleaseServer::ReleaseRequests() {
    std::vector<ServerRequest> mine;
    for (ServerRequest& request : Requests()) {
        if (request.listener == "release") mine.push_back(std::move(request));
    }
    return mine;
}

namespace {

void TrustRoot(const std::string& relativePath, bool* done) {
    if (*done) return;
    std::string der = ReadAll(ReleaseServer::StatePath(relativePath));
    ASSERT_FALSE(der.empty()) << "no test root CA: " << relativePath;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    ASSERT_NE(store, nullptr);
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                  reinterpret_cast<const BYTE*>(der.data()),
                                                  static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                  nullptr);
    CertCloseStore(store, 0);
    ASSERT_TRUE(added) << GetLastError();
    *done = true;
}

}  // namespace

void TrustTestRootCa() {
    static bool done = false;
    TrustRoot("pki/root.der", &done);
}

void TrustSigningRootCa() {
    static bool done = false;
    TrustRoot("signing/ca.der", &done);
}

}  // namespace quilmo::test
