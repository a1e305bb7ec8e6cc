// Process entry of the installer executable.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "files/unique_handle.h"
#include "startup/dll_hardening.h"
#include "startup/entry_point.h"

namespace {

std::vector<std::wstring> SplitCommandLine() {
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    quilmo::UniqueLocalMemory owner(reinterpret_cast<HLOCAL>(argv));
    for (int i = 0; argv != nullptr && i < count; ++i) args.emplace_back(argv[i]);
    return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
    // Before anything else may load a library.
    quilmo::RestrictDllSearchToSystem32();
    return quilmo::RunEntryPoint(SplitCommandLine(), showCommand);
}
