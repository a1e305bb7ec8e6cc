#include "startup/entry_point.h"

#include <cstdlib>
#include <ctime>

#include "files/text_encoding.h"
#include "pipeline/installer_state.h"
#include "pipeline/run_installer.h"
#include "registration/installed_version.h"
#include "startup/base_path.h"
#include "startup/command_line.h"
#include "startup/installer_log.h"
#include "startup/paths.h"
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
    InstalledVersion installed = FindInstalledVersion();
    BasePathInputs inputs;
    inputs.installFound = installed.found;
    inputs.installedVersion = installed.version;
    inputs.installedDirectory = installed.directory;
    inputs.savedBaseLocation = ReadInstallBaseLocation();
    inputs.defaultBase = WideToUtf8(ProductDataFolder());
    BasePathChoice choice = ChooseBasePath(inputs);

    InstallerState& state = State();
    state.installedVersion.Set(installed.version);
    state.existingInstall = choice.existingInstall;
    state.basePath.Set(choice.basePath);
    state.targetPath.Set(choice.basePath);
    state.displayPath.Set(choice.basePath);
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
    int code = RunInstaller();
    WriteLog("silent RunInstaller returned code=" + std::to_string(code));
    return code;
}

}  // namespace

int RunEntryPoint(const std::vector<std::wstring>& args, int showCommand) {
    CommandLine commandLine = ParseCommandLine(args);
    int subCommandCode = 0;
    if (RunSubCommand(commandLine, args, subCommandCode)) return subCommandCode;

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
