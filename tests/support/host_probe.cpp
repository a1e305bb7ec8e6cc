#include "support/host_probe.h"

#include <windows.h>

#include <cstdlib>

#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "registration/registration_tables.h"
#include "support/scratch_dir.h"

namespace quilmo {
namespace testing_support {

namespace {

constexpr DWORD kProbeTimeoutMs = 60000;

std::wstring UnixToWinePath(const std::string& unixPath) {
    std::wstring path = L"Z:" + Utf8ToWide(unixPath);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

std::wstring Quote(const std::wstring& arg) { return L"\"" + arg + L"\""; }

std::string ReadAll(HANDLE pipe) {
    std::string output;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) output.append(buffer, read);
    return output;
}

const wchar_t* KindName(HostKind kind) { return kind == HostKind::Office ? L"office" : L"wps"; }

}  // namespace

std::wstring HostFixtureDir() {
    const char* overridden = std::getenv("QUILMO_HOST_DIR");
    return UnixToWinePath(overridden ? overridden : QUILMO_HOST_DIR);
}

HostProbeResult RunHostProbe(int bits, HostKind kind, const std::wstring& host, const std::wstring& progId) {
    HostProbeResult result;
    const std::wstring exe = HostFixtureDir() + (bits == 64 ? L"\\host_probe64.exe" : L"\\host_probe32.exe");
    std::wstring commandLine = Quote(exe) + L" " + KindName(kind) + L" " + Quote(host) + L" " + Quote(progId);

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    UniqueHandle readEnd;
    UniqueHandle writeEnd;
    if (!CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) return result;
    SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &info)) {
        result.line = L"could not start " + exe + L": error " + std::to_wstring(GetLastError());
        return result;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    writeEnd.reset();  // so the read ends when the probe does
    std::wstring output = Utf8ToWide(ReadAll(readEnd.get()));
    if (WaitForSingleObject(process.get(), kProbeTimeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 99);
        result.line = L"probe timed out";
        return result;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    result.exitCode = static_cast<int>(code);
    while (!output.empty() && (output.back() == L'\n' || output.back() == L'\r')) output.pop_back();
    result.line = output;
    return result;
}

bool PlaceComServers(const std::wstring& dir, bool with32, bool with64) {
    MakeDirectories(dir);
    bool placed = WriteBytes(dir + L"\\Quilmo.Core.dll", "managed core stand-in");
    if (with32) placed = CopyFileW((HostFixtureDir() + L"\\ZUDodi32.dll").c_str(), (dir + L"\\ZUDodi32.dll").c_str(),
                                   FALSE) && placed;
    if (with64) placed = CopyFileW((HostFixtureDir() + L"\\REDero64.dll").c_str(), (dir + L"\\REDero64.dll").c_str(),
                                   FALSE) && placed;
    return placed;
}

std::vector<std::wstring> ProbeEveryHost(int bits) {
    std::vector<std::wstring> lines;
    for (const ComClass& entry : ComClassTable) {
        if (entry.officeHost != nullptr) {
            HostProbeResult found = RunHostProbe(bits, HostKind::Office, entry.officeHost, entry.progId);
            lines.push_back(std::wstring(L"office/") + entry.officeHost + L": " + std::to_wstring(found.exitCode) +
                            L" " + found.line);
        }
        if (entry.wpsHost != nullptr) {
            HostProbeResult found = RunHostProbe(bits, HostKind::Wps, entry.wpsHost, entry.progId);
            lines.push_back(std::wstring(L"wps/") + entry.wpsHost + L": " + std::to_wstring(found.exitCode) + L" " +
                            found.line);
        }
    }
    return lines;
}

std::vector<std::wstring> ExpectedEveryHost(const std::wstring& dllPath) {
    std::vector<std::wstring> lines;
    for (const ComClass& entry : ComClassTable) {
        if (entry.officeHost != nullptr) {
            lines.push_back(std::wstring(L"office/") + entry.officeHost + L": " +
                            (dllPath.empty() ? std::wstring(L"2 not listed: office ") + entry.officeHost + L" " +
                                                   entry.progId
                                             : L"0 loaded " + dllPath));
        }
        if (entry.wpsHost != nullptr) {
            lines.push_back(std::wstring(L"wps/") + entry.wpsHost + L": " +
                            (dllPath.empty() ? std::wstring(L"2 not listed: wps ") + entry.wpsHost + L" " +
                                                   entry.progId
                                             : L"0 loaded " + dllPath));
        }
    }
    return lines;
}

}  // namespace testing_support
}  // namespace quilmo
