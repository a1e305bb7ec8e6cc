// The tests' side of the local release server: its addresses, its per-path
// script, the files it serves and the requests it saw. The server runs on
// the Linux side; its state folder is reached through Wine's drive Z:.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quilmo::test {

struct ServerRequest {
    std::string listener;  // "trusted", "plain" or "untrusted"
    std::string scheme;    // "https" or "http"
    std::string path;
    std::string query;
    std::string agent;
    std::string name;  // the path as a file name (percent-escapes undone), UTF-8
};

struct SentBody {
    std::string path;
    uint64_t sent = 0;
    bool endless = false;  // no length: an endless body
    uint64_t length = 0;
};

class ReleaseServer {
public:
    // "https://localhost:PORT/" with a certificate from the trusted test root.
    static std::string HttpsBase();
    // "http://localhost:PORT/".
    static std::string HttpBase();
    // "https://localhost:PORT/" whose certificate no store trusts; the same
    // port answers plain HTTP too.
    static std::string UntrustedBase();

    // Per-path behaviour as JSON, e.g. {"/a": {"status": 404}}; "{}" for none.
    static void Script(const std::string& json);
    static void PutFile(const std::string& relativePath, const std::string& bytes);
    static void ClearRequests();
    static std::vector<ServerRequest> Requests();

    // The endless and trickled bodies the server began (any listener), with
    // what went out before the client left; waits up to waitMs until there
    // are at least `atLeast` of them (the server notes one when it notices
    // the client gone).
    static std::vector<SentBody> SentBodies(size_t atLeast, DWORD waitMs);

    // The release the installer's own download port serves: a folder of
    // www/install/ (see make_install_releases.sh), "offline" for a port that
    // answers nothing, "" for a server without any release.
    static void UseInstallRelease(const std::string& caseName);
    // The requests the installer's own download port saw.
    static std::vector<ServerRequest> ReleaseRequests();

    // Windows path of a file in the server's state folder.
    static std::wstring StatePath(const std::string& relativePath);
};

// Adds the test root CA to the machine's "Root" store (once per process).
void TrustTestRootCa();

// Adds the code-signing test root (make_signing_pki.sh) to the machine's
// "Root" store (once per process): manifests and programs signed by the test
// publisher then chain to a trusted root.
void TrustSigningRootCa();

}  // namespace quilmo::test
