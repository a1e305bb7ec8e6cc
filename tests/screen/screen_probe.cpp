// The Windows side of the screen tests: what xdotool and a screenshot cannot
// tell, asked inside the prefix.
//   screen_probe trust-root DER   put the test root CA into the machine's Root store
//   screen_probe boxes            one line per visible message box: title TAB text (UTF-8)
//   screen_probe rect             the installer window's screen rectangle: x y width height
//   screen_probe clear-registration  remove the add-in's registration from the user hive
//   screen_probe ping             whether the installer window answers a message within 2 s
#include <windows.h>
#include <wincrypt.h>

#include <cwchar>
#include <string>
#include <vector>

#include "support/user_registration.h"

namespace {

void Print(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    bytes += '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::string ReadFileBytes(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return std::string();
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

int TrustRoot(const wchar_t* path) {
    std::string der = ReadFileBytes(path);
    if (der.empty()) return 1;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) return 1;
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                                  static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                  nullptr);
    CertCloseStore(store, 0);
    return added ? 0 : 1;
}

BOOL CALLBACK ListBox(HWND window, LPARAM) {
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (wcscmp(className, L"#32770") != 0 || !IsWindowVisible(window)) return TRUE;
    wchar_t title[256] = {};
    GetWindowTextW(window, title, 256);
    wchar_t text[2048] = {};
    GetDlgItemTextW(window, 0xFFFF, text, 2048);  // the message box's text
    std::wstring line = std::wstring(title) + L"\t" + text;
    for (wchar_t& c : line) {
        if (c == L'\n') c = L' ';
        if (c == L'\r') c = L' ';
    }
    Print(line);
    return TRUE;
}

int Ping() {
    HWND window = FindWindowW(L"InstallerClass", nullptr);
    if (window == nullptr) {
        Print(L"no window");
        return 2;
    }
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result) == 0) {
        Print(L"hung");
        return 1;
    }
    Print(L"answered");
    return 0;
}

int Rect() {
    HWND window = FindWindowW(L"InstallerClass", nullptr);
    RECT rect = {};
    if (window == nullptr || !GetWindowRect(window, &rect)) return 2;
    Print(std::to_wstring(rect.left) + L" " + std::to_wstring(rect.top) + L" " + std::to_wstring(rect.right - rect.left) +
          L" " + std::to_wstring(rect.bottom - rect.top));
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    std::wstring command = argv[1];
    if (command == L"trust-root" && argc == 3) return TrustRoot(argv[2]);
    if (command == L"boxes") {
        EnumWindows(ListBox, 0);
        return 0;
    }
    if (command == L"ping") return Ping();
    if (command == L"rect") return Rect();
    if (command == L"clear-registration") {
        quilmo::testing_support::ClearUserRegistration();
        return 0;
    }
    return 2;
}
