// The HTTP client against the local release server, through the real WinHTTP
// and WinINet of the Wine prefix. The same tests run as a Windows 10 and as
// a Windows 7 program (QUILMO_EXPECT_WINDOWS), where the client may degrade.
#include "manifest/http_client.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "support/release_server.h"

namespace quilmo::test {
namespace {

const char kManifest[] = "{\"Vison\":\"3.2.0\",\"Files\":[{\"url\":\"[host]a.dll\",\"path\":\"a.dll\",\"hash\":\"00\"}]}";
const char kUserAgent8[] = "Quilmo-Installer/2026";

bool ExpectOldWindows() {
    const char* expected = std::getenv("QUILMO_EXPECT_WINDOWS");
    return expected != nullptr && std::string(expected) == "win7";
}

std::wstring TempFile(const wchar_t* name) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + name;
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string ReadFileBytes(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

class HttpClient : public testing::Test {
protected:
    static void SetUpTestSuite() { TrustTestRootCa(); }

    void SetUp() override {
        ReleaseServer::Script("{}");
        ReleaseServer::ClearRequests();
        destination_ = TempFile(L"quilmo-download.bin");
        DeleteFileW(destination_.c_str());
    }
    void TearDown() override { DeleteFileW(destination_.c_str()); }

    static size_t CountRequests(const std::string& listener) {
        size_t count = 0;
        for (const ServerRequest& r : ReleaseServer::Requests()) count += r.listener == listener ? 1 : 0;
        return count;
    }

    std::wstring destination_;
};

TEST_F(HttpClient, PrefixReportsTheExpectedWindowsVersion) {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 3;
    ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    bool atLeast81 = VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION, mask) != FALSE;
    EXPECT_EQ(atLeast81, !ExpectOldWindows());
}

TEST_F(HttpClient, PlainHttpUrlIsRefusedWithoutARequest) {
    ReleaseServer::PutFile("install.json", kManifest);
    std::string url = ReleaseServer::HttpBase() + "install.json";
    EXPECT_EQ(FetchText(url, false), "");
    EXPECT_FALSE(DownloadFile(url, destination_));
    EXPECT_EQ(FetchText("HTTPS:/", false), "");
    EXPECT_TRUE(ReleaseServer::Requests().empty());
    EXPECT_FALSE(FileExists(destination_));
}

TEST_F(HttpClient, ServesTheBodyWithOneRequestAndTheProductUserAgent) {
    ReleaseServer::PutFile("install.json", kManifest);
    std::string payload(100000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
    ReleaseServer::PutFile("files/a.dll", payload);

    EXPECT_EQ(FetchText(ReleaseServer::HttpsBase() + "install.json?12345", true), kManifest);
    EXPECT_TRUE(DownloadFile(ReleaseServer::HttpsBase() + "files/a.dll", destination_));
    EXPECT_TRUE(ReadFileBytes(destination_) == payload) << "downloaded bytes differ";

    std::vector<ServerRequest> requests = ReleaseServer::Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/install.json");
    EXPECT_EQ(requests[0].query, "12345");
    for (const ServerRequest& r : requests) {
        EXPECT_EQ(r.agent, kUserAgent8);
        EXPECT_EQ(r.scheme, "https");
    }
}

TEST_F(HttpClient, NotFoundMakesTheFourAttemptsOfTheFirstSeriesOnly) {
    ReleaseServer::Script(R"({"/missing": {"status": 404}})");
    std::string url = ReleaseServer::HttpsBase() + "missing";
    DWORD start = GetTickCount();
    EXPECT_EQ(FetchText(url, false), "");
    EXPECT_GE(GetTickCount() - start, 500u);  // the pause between the two proxy attempts
    EXPECT_EQ(CountRequests("trusted"), 4u);

    ReleaseServer::ClearRequests();
    EXPECT_FALSE(DownloadFile(url, destination_));
    EXPECT_EQ(CountRequests("trusted"), 4u);
    EXPECT_EQ(ReleaseServer::Requests().size(), 4u);  // nothing over plain HTTP
    EXPECT_FALSE(FileExists(destination_));
}

TEST_F(HttpClient, EmptyBodyFailsTextButGivesAnEmptyFile) {
    ReleaseServer::Script(R"({"/empty": {"body": ""}})");
    std::string url = ReleaseServer::HttpsBase() + "empty";
    EXPECT_EQ(FetchText(url, false), "");
    EXPECT_EQ(CountRequests("trusted"), 4u);

    ReleaseServer::ClearRequests();
    EXPECT_TRUE(DownloadFile(url, destination_));
    EXPECT_TRUE(FileExists(destination_));
    EXPECT_EQ(ReadFileBytes(destination_), "");
    EXPECT_EQ(CountRequests("trusted"), 1u);
}

TEST_F(HttpClient, BodyWithoutManifestShapeIsAFailedAttempt) {
    ReleaseServer::PutFile("not-a-manifest.json", "[{\"Files\":[{}]}]");
    std::string url = ReleaseServer::HttpsBase() + "not-a-manifest.json";
    EXPECT_EQ(FetchText(url, true), "");
    EXPECT_EQ(CountRequests("trusted"), 4u);
    EXPECT_EQ(FetchText(url, false), "[{\"Files\":[{}]}]");
}

TEST_F(HttpClient, BodyCutShortLeavesNoPartialFile) {
    std::string payload(300000, 'q');
    ReleaseServer::PutFile("cut.bin", payload);
    ReleaseServer::Script(R"({"/cut.bin": {"truncate": 100000}})");
    std::string url = ReleaseServer::HttpsBase() + "cut.bin";
    EXPECT_FALSE(DownloadFile(url, destination_));
    EXPECT_FALSE(FileExists(destination_));
    EXPECT_EQ(CountRequests("trusted"), 4u);

    // Cut once: the next attempt replaces the broken file with the whole body.
    ReleaseServer::Script(R"({"/cut.bin": {"truncate": 1000, "times": 1}})");
    ReleaseServer::ClearRequests();
    EXPECT_TRUE(DownloadFile(url, destination_));
    EXPECT_TRUE(ReadFileBytes(destination_) == payload) << "downloaded bytes differ";
    EXPECT_EQ(CountRequests("trusted"), 2u);
}

TEST_F(HttpClient, RedirectFromHttpsToHttpIsRefused) {
    ReleaseServer::PutFile("target.json", kManifest);
    ReleaseServer::Script(R"({"/moved": {"redirect": ")" + ReleaseServer::HttpBase() + R"(target.json"}})");
    EXPECT_EQ(FetchText(ReleaseServer::HttpsBase() + "moved", false), "");
    EXPECT_EQ(CountRequests("trusted"), 4u);
    EXPECT_EQ(CountRequests("plain"), 0u);
}

TEST_F(HttpClient, RedirectToAnotherHttpsUrlIsFollowed) {
    ReleaseServer::PutFile("target.json", kManifest);
    ReleaseServer::Script(R"({"/moved": {"redirect": ")" + ReleaseServer::HttpsBase() + R"(target.json"}})");
    EXPECT_EQ(FetchText(ReleaseServer::HttpsBase() + "moved", true), kManifest);
    EXPECT_EQ(CountRequests("trusted"), 2u);
}

TEST_F(HttpClient, StallLongerThanTheTimeOutMovesOnToTheNextAttempt) {
    ReleaseServer::PutFile("slow.json", kManifest);
    ReleaseServer::Script(R"({"/slow.json": {"stall_ms": 17000, "times": 1}})");
    DWORD start = GetTickCount();
    EXPECT_EQ(FetchText(ReleaseServer::HttpsBase() + "slow.json", true), kManifest);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 14000u);
    EXPECT_LT(elapsed, 17000u);  // the client gave up before the server answered
    EXPECT_EQ(CountRequests("trusted"), 2u);
}

// A certificate no store trusts: Windows 8.1 and later stop after the strict
// series; older systems retry with an unknown root tolerated, then over HTTP.
TEST_F(HttpClient, UntrustedCertificateDegradesOnlyOnOldWindows) {
    ReleaseServer::PutFile("install.json", kManifest);
    std::string body = FetchText(ReleaseServer::UntrustedBase() + "install.json", true);
    std::vector<ServerRequest> requests = ReleaseServer::Requests();
    if (!ExpectOldWindows()) {
        EXPECT_EQ(body, "");
        EXPECT_TRUE(requests.empty()) << "no request may complete over an untrusted channel";
        return;
    }
    EXPECT_EQ(body, kManifest);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].listener, "untrusted");
}

}  // namespace
}  // namespace quilmo::test
