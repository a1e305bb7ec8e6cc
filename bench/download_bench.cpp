// Downloads one URL to a file and reports how long it took and the peak
// memory of this process, either with the installer's DownloadFile or with a
// bare WinHTTP read loop (the floor of the platform).
// Usage: quilmo_download_bench client|bare URL DEST [ROOT_CA_DER]
//        quilmo_download_bench bare-list|ahead-list URL_LIST_FILE DEST_DIR [ROOT_CA_DER]
// (bare-list fetches every URL of the file, one per line, in turn: the floor
// of an installation's downloads; ahead-list fetches them as the installer's
// download step does, several at once into temporary names, hashed as they
// arrive and moved under their names in list order.)
#include <windows.h>
#include <psapi.h>
#include "files/wincrypt_plain.h"
#include <winhttp.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <atomic>

#include "files/text_encoding.h"
#include "manifest/http_client.h"
#include "manifest/sha256.h"
#include "pipeline/download_ahead.h"

namespace {

void TrustRoot(const wchar_t* derPath) {
    std::ifstream in(derPath, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    std::string der = bytes.str();
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) return;
    CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                     static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    CertCloseStore(store, 0);
}

// The plainest WinHTTP download: one session, one request, 32 KiB reads.
bool BareDownload(const std::wstring& url, const std::wstring& dest) {
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
    std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    HINTERNET session = WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = WinHttpConnect(session, host.c_str(), parts.nPort, 0);
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", parts.lpszUrlPath, nullptr, nullptr, nullptr,
                                           WINHTTP_FLAG_SECURE);
    bool ok = WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) && WinHttpReceiveResponse(request, nullptr);
    HANDLE file = CreateFileW(dest.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    std::vector<char> buffer(32768);
    for (DWORD read = 0; ok; ) {
        ok = WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read);
        if (!ok || read == 0) break;
        DWORD written = 0;
        ok = WriteFile(file, buffer.data(), read, &written, nullptr) && written == read;
    }
    CloseHandle(file);
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return ok;
}

std::vector<std::string> ReadUrlList(const std::wstring& listFile) {
    std::ifstream in(listFile.c_str(), std::ios::binary);
    std::vector<std::string> urls;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) urls.push_back(line);
    }
    return urls;
}

bool BareDownloadList(const std::wstring& listFile, const std::wstring& destDir) {
    bool ok = true;
    std::vector<std::string> urls = ReadUrlList(listFile);
    for (size_t i = 0; i < urls.size(); ++i) {
        ok = BareDownload(quilmo::Utf8ToWide(urls[i]), destDir + L"\\f" + std::to_wstring(i)) && ok;
    }
    return ok;
}

bool AheadDownloadList(const std::wstring& listFile, const std::wstring& destDir) {
    std::vector<std::string> urls = ReadUrlList(listFile);
    quilmo::DownloadAhead ahead(urls.size(), [&](size_t index, const std::atomic<bool>& stop) {
        quilmo::FetchedFile fetched;
        fetched.temporary = destDir + L"\\.tmp" + std::to_wstring(index);
        quilmo::Sha256Stream digest;
        fetched.ok = quilmo::DownloadFile(urls[index], fetched.temporary, digest, fetched.sha256, std::nullopt, &stop);
        return fetched;
    });
    size_t accepted = 0;
    for (size_t i = 0; i < urls.size(); ++i) {
        quilmo::FetchedFile fetched = ahead.Take(i, accepted);
        std::wstring final = destDir + L"\\f" + std::to_wstring(i);
        if (fetched.ok && fetched.sha256.size() == 64 &&
            MoveFileExW(fetched.temporary.c_str(), final.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            ++accepted;
        }
    }
    return accepted == urls.size();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: quilmo_download_bench client|bare URL DEST [ROOT_CA_DER]\n");
        return 2;
    }
    if (argc > 4) TrustRoot(argv[4]);
    std::wstring mode = argv[1];
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    bool ok = mode == L"bare"        ? BareDownload(argv[2], argv[3])
              : mode == L"bare-list" ? BareDownloadList(argv[2], argv[3])
              : mode == L"ahead-list" ? AheadDownloadList(argv[2], argv[3])
                                     : quilmo::DownloadFile(quilmo::WideToUtf8(argv[2]), argv[3]);
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    double seconds = static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    std::printf("%s ok=%d seconds=%.3f peak_working_set_mb=%.1f\n", quilmo::WideToUtf8(mode).c_str(), ok ? 1 : 0,
                seconds, memory.PeakWorkingSetSize / 1048576.0);
    return ok ? 0 : 1;
}
