#include "startup/entry_point.h"

#include <cstdlib>
#include <ctime>

#include "pipeline/installer_state.h"
#include "pipeline/run_installer.h"
#include "startup/base_path.h"
#include "startup/command_line.h"
#include "startup/fatal_error.h"
#include "startup/installer_log.h"
#include "startup/subcommands.h"
#include "startup/window_mode.h"

namespace quilmo {

namespace {

// Returns true and the sub-command's exit code when one was requested.
bool RunSubCommand(const CommandLine& commandLine, const std::vector<std::wstring>& args, int& code) {
    switch (commandLine.subCommand) {
    case SubCommand::CleanupMachine:
        code = RunMachineCleanupSubCommand();
        return true;
    case SubCommand::CleanupMachineCom:
        code = RunMachineComCleanupSubCommand();
        return true;
    case SubCommand::InstallPrerequisite:
        code = RunPrerequisiteSubCommand(args);
        return true;
    case SubCommand::None:
        break;
    }
    return false;
}

void SelectBasePath() {
    StartupBase startup = ChooseStartupBase();
    InstallerState& state = State();
    state.installedVersion.Set(startup.installedVersion);
    state.existingInstall = startup.choice.existingInstall;
    state.basePath.Set(startup.choice.basePath);
    state.targetPath.Set(startup.choice.basePath);
    state.displayPath.Set(startup.choice.basePath);
}

void RestartLog() {
    InstallerState& state = State();
    DeleteInstallerLog();
    WriteLog("installer start");
    WriteLog(std::string("args auto=") + LogBool(state.autoMode));
    WriteLog(std::string("args silent=") + LogBool(state.silentMode));
    WriteLog("base path=" + state.basePath.Get());
}

int RunSilent() {
    State().busy = true;
    WriteLog("enter silent RunInstaller");
    int code = RunGuarded("main", RunInstaller);
    WriteLog("silent RunInstaller returned code=" + std::to_string(code));
    return code;
}

}  // namespace

int RunEntryPoint(const std::vector<std::wstring>& args, int showCommand) {
    CommandLine commandLine = ParseCommandLine(args);
    int subCommandCode = 0;
    if (RunSubCommand(commandLine, args, subCommandCode)) return subCommandCode;

    InstallFatalErrorHandler();
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    InstallerState& state = State();
    state.autoMode = commandLine.autoMode;
    state.silentMode = commandLine.silentMode;
    SelectBasePath();
    RestartLog();

    if (state.silentMode) return RunSilent();
    return RunWindowMode(showCommand);
}

}  // namespace quilmo
