#include "support/loader_trace.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>

#include "files/unique_handle.h"

namespace quilmo::test {

namespace {

const BYTE kBreakpoint = 0xCC;

struct DebuggedProcess {
    HANDLE process = nullptr;  // owned by the debugging API
    ULONG_PTR entry = 0;
    BYTE savedByte = 0;
    bool armed = false;
    ULONG_PTR imageBase = 0;
    ULONG_PTR imageEnd = 0;
};

template <typename T>
bool ReadRemote(HANDLE process, ULONG_PTR address, T& value) {
    SIZE_T read = 0;
    return ReadProcessMemory(process, reinterpret_cast<const void*>(address), &value, sizeof(value), &read) &&
           read == sizeof(value);
}

bool WriteRemoteByte(HANDLE process, ULONG_PTR address, BYTE value) {
    SIZE_T written = 0;
    void* at = reinterpret_cast<void*>(address);
    bool ok = WriteProcessMemory(process, at, &value, 1, &written) && written == 1;
    FlushInstructionCache(process, at, 1);
    return ok;
}

ULONG_PTR ImageSize(HANDLE process, ULONG_PTR base) {
    IMAGE_DOS_HEADER dos = {};
    IMAGE_NT_HEADERS nt = {};
    if (!ReadRemote(process, base, dos) || !ReadRemote(process, base + dos.e_lfanew, nt)) return 0;
    return nt.OptionalHeader.SizeOfImage;
}

// The name the loader gives: a pointer in the debuggee to a pointer to the text.
std::wstring RemoteImageName(HANDLE process, const LOAD_DLL_DEBUG_INFO& info) {
    ULONG_PTR textAddress = 0;
    if (info.lpImageName == nullptr ||
        !ReadRemote(process, reinterpret_cast<ULONG_PTR>(info.lpImageName), textAddress) || textAddress == 0) {
        return std::wstring();
    }
    std::wstring name;
    for (ULONG_PTR at = textAddress; name.size() < MAX_PATH * 4; at += info.fUnicode ? 2 : 1) {
        wchar_t c = 0;
        if (info.fUnicode) {
            if (!ReadRemote(process, at, c)) return std::wstring();
        } else {
            char narrow = 0;
            if (!ReadRemote(process, at, narrow)) return std::wstring();
            c = static_cast<wchar_t>(static_cast<unsigned char>(narrow));
        }
        if (c == L'\0') break;
        name += c;
    }
    return name;
}

std::wstring HandlePath(HANDLE file) {
    if (file == nullptr) return std::wstring();
    wchar_t path[MAX_PATH * 2] = {};
    DWORD length = GetFinalPathNameByHandleW(file, path, MAX_PATH * 2, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= MAX_PATH * 2) return std::wstring();
    std::wstring result(path, length);
    if (result.rfind(L"\\\\?\\", 0) == 0) result.erase(0, 4);
    return result;
}

}  // namespace

std::wstring LibraryName(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    std::transform(name.begin(), name.end(), name.begin(), [](wchar_t c) { return towlower(c); });
    const std::wstring dll = L".dll";
    if (name.size() > dll.size() && name.compare(name.size() - dll.size(), dll.size(), dll) == 0) {
        name.erase(name.size() - dll.size());
    }
    return name;
}

LoaderTrace::~LoaderTrace() {
    if (debugger_.joinable()) debugger_.join();
}

bool LoaderTrace::Start(const std::wstring& commandLine, const std::wstring& folder, DWORD timeoutMs) {
    debugger_ = std::thread(&LoaderTrace::Debug, this, commandLine, folder, timeoutMs);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return startReported_; });
    return processId_ != 0;
}

DWORD LoaderTrace::ProcessId() {
    std::lock_guard<std::mutex> lock(mutex_);
    return processId_;
}

bool LoaderTrace::WaitForOwnThreadsDone(DWORD timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return ownThreadsStarted_ > 0 && ownThreadsRunning_ == 0; });
}

void LoaderTrace::Kill() {
    std::lock_guard<std::mutex> lock(mutex_);
    killRequested_ = true;
}

TracedRun LoaderTrace::Finish() {
    if (debugger_.joinable()) debugger_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    return run_;
}

// Debug events reach only the thread that started the process, so this one
// thread starts it and serves every event until the last process has ended.
void LoaderTrace::Debug(std::wstring commandLine, std::wstring folder, DWORD timeoutMs) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    BOOL created = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, DEBUG_PROCESS, nullptr,
                                  folder.empty() ? nullptr : folder.c_str(), &startup, &info);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        startReported_ = true;
        processId_ = created ? info.dwProcessId : 0;
    }
    changed_.notify_all();
    if (!created) return;
    UniqueHandle first(info.hProcess);
    UniqueHandle firstThread(info.hThread);

    std::map<DWORD, DebuggedProcess> processes;
    std::set<DWORD> ownThreads;
    bool seenFirst = false;
    bool killed = false;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!seenFirst || !processes.empty()) {
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, 200)) {
            bool killNow = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                killNow = killRequested_;
            }
            if (!killed && (killNow || GetTickCount64() > deadline)) {
                for (const auto& entry : processes) TerminateProcess(entry.second.process, 99);
                if (!seenFirst) TerminateProcess(first.get(), 99);
                killed = true;
            }
            continue;
        }
        DWORD status = DBG_CONTINUE;
        DebuggedProcess& process = processes[event.dwProcessId];
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT: {
            const CREATE_PROCESS_DEBUG_INFO& created = event.u.CreateProcessInfo;
            if (created.hFile != nullptr) CloseHandle(created.hFile);
            seenFirst = true;
            process.process = created.hProcess;
            process.imageBase = reinterpret_cast<ULONG_PTR>(created.lpBaseOfImage);
            process.imageEnd = process.imageBase + ImageSize(created.hProcess, process.imageBase);
            // A breakpoint on the entry point marks where the program's own code begins.
            process.entry = reinterpret_cast<ULONG_PTR>(created.lpStartAddress);
            process.armed = ReadRemote(created.hProcess, process.entry, process.savedByte) &&
                            WriteRemoteByte(created.hProcess, process.entry, kBreakpoint);
            break;
        }
        case LOAD_DLL_DEBUG_EVENT: {
            const LOAD_DLL_DEBUG_INFO& loaded = event.u.LoadDll;
            std::wstring path = RemoteImageName(process.process, loaded);
            if (path.empty()) path = HandlePath(loaded.hFile);
            if (loaded.hFile != nullptr) CloseHandle(loaded.hFile);
            std::lock_guard<std::mutex> lock(mutex_);
            run_.libraries.push_back({path, process.armed});
            break;
        }
        case CREATE_THREAD_DEBUG_EVENT: {
            auto start = reinterpret_cast<ULONG_PTR>(event.u.CreateThread.lpStartAddress);
            if (event.dwProcessId == info.dwProcessId && start >= process.imageBase && start < process.imageEnd) {
                std::lock_guard<std::mutex> lock(mutex_);
                ownThreads.insert(event.dwThreadId);
                ++ownThreadsStarted_;
                ++ownThreadsRunning_;
            }
            break;
        }
        case EXIT_THREAD_DEBUG_EVENT:
            if (event.dwProcessId == info.dwProcessId && ownThreads.erase(event.dwThreadId) != 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    --ownThreadsRunning_;
                }
                changed_.notify_all();
            }
            break;
        case EXCEPTION_DEBUG_EVENT: {
            const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
            auto address = reinterpret_cast<ULONG_PTR>(record.ExceptionAddress);
            if (record.ExceptionCode != EXCEPTION_BREAKPOINT) {
                status = DBG_EXCEPTION_NOT_HANDLED;  // the program's own handlers decide
            } else if (process.armed && address == process.entry) {
                process.armed = false;
                WriteRemoteByte(process.process, process.entry, process.savedByte);
                UniqueHandle thread(OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId));
                CONTEXT context = {};
                context.ContextFlags = CONTEXT_CONTROL;
                if (thread && GetThreadContext(thread.get(), &context)) {
                    context.Eip = static_cast<DWORD>(process.entry);
                    SetThreadContext(thread.get(), &context);
                }
            }
            break;
        }
        case EXIT_PROCESS_DEBUG_EVENT:
            processes.erase(event.dwProcessId);
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    DWORD code = 0;
    WaitForSingleObject(first.get(), 5000);
    bool exited = GetExitCodeProcess(first.get(), &code) && code != STILL_ACTIVE;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        run_.exitCode = !killed && exited ? static_cast<int>(code) : -1;
    }
    changed_.notify_all();
}

}  // namespace quilmo::test
