#include "pipeline/phase_b.h"

#include <windows.h>
#include <shlobj.h>

#include "files/old_version_gc.h"
#include "files/path_text.h"
#include "files/text_encoding.h"
#include "manifest/payload_check.h"
#include "pipeline/abort.h"
#include "pipeline/installer_state.h"
#include "pipeline/post_command.h"
#include "pipeline/reporting.h"
#include "pipeline/switch_over.h"
#include "probes/fonts_shortcuts.h"
#include "probes/native_images.h"
#include "probes/runtime_probes.h"
#include "registration/com_registration.h"
#include "registration/installed_version.h"
#include "registration/legacy_cleanup.h"
#include "registration/registered_directories.h"
#include "registration/registration_target.h"
#include "registration/registry_snapshot.h"
#include "startup/elevation.h"
#include "startup/installer_log.h"
#include "startup/prerequisite_installer.h"

namespace quilmo {

namespace {

// The registration only ever touches the current user's hive.
RegistrationTarget UserOnlyTarget() {
    RegistrationTarget target;
    target.writeMachine = false;
    target.writeUser = true;
    target.cleanMachine = false;
    target.is64BitWindows = IsCurrentProcessWow64();
    return target;
}

// What kind of release was downloaded; an incomplete one stops here.
StepOutcome ClassifyDownloadedPayload(const InstallRun& run, SwitchOver& sw) {
    std::vector<std::string> paths;
    paths.reserve(run.entries.size());
    for (const ManifestFileEntry& entry : run.entries) paths.push_back(entry.path);
    sw.payload = ClassifyPayload(paths, run.targetDirW, IsCurrentProcessWow64(), run.failedPaths, sw.net48Present);
    WriteLog(std::string("payload mode=") + PayloadModeName(sw.payload.mode) + " detail=" + sw.payload.detail);
    AbortRow row;
    row.statusText = "安装包组件不完整，安装中止。";
    row.boxText = L"安装包核心组件不完整，已中止安装以避免损坏现有插件：\n\n" + Utf8ToWide(sw.payload.detail);
    row.boxTitle = L"组件缺失";
    if (sw.payload.mode == PayloadMode::InvalidCom) return StepOutcome::End(AbortRun(row));
    sw.isComPayload = sw.payload.mode == PayloadMode::Com;
    return StepOutcome::Continue();
}

// The core servers have the machine types their names promise; a server
// that is not to be registered counts as passing.
StepOutcome CheckCoreArchitectures(const InstallRun& run, const SwitchOver& sw) {
    bool pe32Ok = !sw.payload.register32 ||
                  PeMachineMatches(JoinPath(run.targetDirW, Utf8ToWide(kCore32FileName)), kMachineI386);
    bool pe64Ok = !sw.payload.register64 ||
                  PeMachineMatches(JoinPath(run.targetDirW, Utf8ToWide(kCore64FileName)), kMachineAmd64);
    if (pe32Ok && pe64Ok) return StepOutcome::Continue();
    AbortRow row;
    row.logLines = {std::string("abort: core PE architecture mismatch pe32Ok=") + (pe32Ok ? "1" : "0") +
                    " pe64Ok=" + (pe64Ok ? "1" : "0")};
    row.statusText = "核心组件架构校验失败，安装中止。";
    row.boxText = L"ZUDodi32.dll 或 REDero64.dll 架构校验失败，已中止安装以避免损坏现有插件。";
    row.boxTitle = L"组件校验失败";
    return StepOutcome::End(AbortRun(row));
}

StepOutcome AbortNet48Restart() {
    AbortRow row;
    row.logLines = {"abort: .NET 4.8 requires reboot (3010); preserving existing plugin until reboot"};
    row.statusText = ".NET Framework 4.8 需要重启后生效，已保留原插件配置。";
    row.code = 3010;
    row.boxText = L".NET Framework 4.8 已安装，但需要重启电脑后才能生效（CLR 4.8 尚未就绪）。\n\n"
                  L"已完整保留原插件配置，请重启电脑后重新运行安装程序完成启用。";
    row.boxTitle = L"需要重启电脑";
    row.boxIcon = MB_ICONWARNING;
    return StepOutcome::End(AbortRun(row));
}

StepOutcome AbortNet48Failed() {
    AbortRow row;
    row.logLines = {"abort: .NET 4.8 installation failed or cancelled; preserving existing plugin"};
    row.statusText = ".NET Framework 4.8 未就绪，安装已中止（保留原插件）。";
    row.code = 2;
    row.boxText = L"奎墨需要 .NET Framework 4.8 才能运行，但该组件未安装成功或被取消。\n\n"
                  L"已保留您原有的插件配置，请安装 .NET Framework 4.8 后重试。";
    row.boxTitle = L"缺少必需运行环境";
    return StepOutcome::End(AbortRun(row));
}

// .NET Framework 4.8 is there before anything is registered. Unattended
// runs never install prerequisites: they stop with code 2
// and leave everything as it was.
StepOutcome EnsureNetFramework48(const InstallRun& run, const SwitchOver& sw) {
    if (sw.net48Present) return StepOutcome::Continue();
    WriteLog("prerequisite: .NET Framework 4.8 missing before registration");
    if (!sw.allowPrompts) {
        InstallerState& state = State();
        WriteLog("abort: .NET 4.8 missing in auto/silent mode; preserving existing plugin configuration");
        SetStatusText("缺少 .NET Framework 4.8，自动更新已中止（保留原插件）。");
        state.busy = false;
        state.exitCode = 2;
        return StepOutcome::End(2);
    }
    SetStatusText("正在安装必需组件 .NET Framework 4.8...");
    bool gotResult = false;
    int exitCode = 1;
    if (run.net48Setup.verified) {
        gotResult = RunPrerequisiteElevated(L"net48", run.net48Setup.localPath, run.net48Setup.sha256, exitCode);
    } else {
        WriteLog("abort: ndp48-web.exe did not pass manifest SHA-256 verification; refusing to execute unverified "
                 "disk binary");
    }
    WriteLog(std::string("ndp48 install gotResult=") + LogBool(gotResult) + " exitCode=" + std::to_string(exitCode));
    if (gotResult && (exitCode == 3010 || exitCode == 1641)) return AbortNet48Restart();
    // A bootstrapper may report success without the framework being usable.
    if (gotResult && exitCode == 0 && IsNetFramework48Installed()) return StepOutcome::Continue();
    return AbortNet48Failed();
}

// Registers the new version's COM servers and reads them back.
StepOutcome RegisterCore(const InstallRun& run, SwitchOver& sw) {
    const AddinTexts texts{Utf8ToWide(run.productName), Utf8ToWide(run.productDescription)};
    CoreRegistrationResult result = RegisterCoreComponents(run.targetDir, sw.payload.register32,
                                                           sw.payload.register64, sw.registrationContext, texts);
    WriteLog(std::string("core register ok=") + LogBool(result.ok) + " reg32=" + LogBool(result.reg32) +
             " reg64=" + LogBool(result.reg64) + " detail=" + result.detail);
    if (result.ok && VerifyCoreRegistration(run.targetDir, sw.payload.register32, sw.payload.register64,
                                            sw.registrationContext)) {
        return StepOutcome::Continue();
    }
    AbortRow row;
    row.statusText = "核心组件注册失败，已恢复原配置。";
    row.boxText = L"注册核心组件失败，已恢复原插件配置：\n\n" +
                  (result.detail.empty() ? std::wstring(L"HKCU 核心组件注册表回读校验失败。") : Utf8ToWide(result.detail));
    row.boxTitle = L"注册失败";
    return StepOutcome::End(RestoreAndAbort(sw, row));
}

// Removes the older generations' registrations from the user's hive.
StepOutcome CleanUserHive(SwitchOver& sw) {
    const RegistrationTarget& target = sw.registrationContext;
    bool vstoRemoved = RemoveLegacyVstoRegistration(target, false);
    bool comRemoved = RemoveLegacyComRegistration(target, false);
    bool clean = UserLoadableState(target) == ProbeState::Absent &&
                 LegacyRegistrationState(target, true, false, false) == ProbeState::Absent;
    if (vstoRemoved && comRemoved && clean) return StepOutcome::Continue();
    AbortRow row;
    row.logLines = {"abort step 2: HKCU legacy VSTO/2024 cleanup failed; restoring HKCU snapshot"};
    row.statusText = "清理旧版插件注册表失败，已恢复原配置。";
    row.boxText = L"清理当前用户的旧版插件注册表失败，已恢复原插件配置以避免双加载冲突。";
    row.boxTitle = L"清理失败";
    return StepOutcome::End(RestoreAndAbort(sw, row));
}

std::string StateNumber(ProbeState state) { return std::to_string(static_cast<int>(state)); }

// Older registrations in the machine hive are cleaned by an
// elevated copy only when it still holds something.
StepOutcome CleanMachineHive(const InstallRun& run, SwitchOver& sw) {
    const RegistrationTarget& target = sw.registrationContext;
    ProbeState loadable = MachineLoadableState(target);
    ProbeState legacy2024 = LegacyRegistrationState(target, false, true, false);
    if (loadable == ProbeState::Absent && legacy2024 == ProbeState::Absent) return StepOutcome::Continue();
    SetStatusText("正在清理系统级旧版插件注册表...");
    WriteLog("step 3: HKLM cleanup begin loadableState=" + StateNumber(loadable) +
             " legacy2024State=" + StateNumber(legacy2024));
    bool elevatedOk = RunElevatedCleanup(run.targetDirW, false);
    ProbeState loadableAfter = MachineLoadableState(target);
    ProbeState legacy2024After = LegacyRegistrationState(target, false, true, false);
    WriteLog(std::string("step 3: HKLM cleanup ok=") + LogBool(elevatedOk) + " loadableAfter=" +
             StateNumber(loadableAfter) + " legacy2024After=" + StateNumber(legacy2024After));
    if (elevatedOk && loadableAfter == ProbeState::Absent && legacy2024After == ProbeState::Absent) {
        return StepOutcome::Continue();
    }
    AbortRow row;
    row.statusText = "无法清理系统级旧版注册表，已恢复原配置。";
    row.boxText = L"检测到本机(HKLM)存在旧版奎墨注册表项或权限受阻，提权清理被取消或未完全清空。\n\n"
                  L"为避免新旧两套插件同时加载冲突，已完整恢复原插件配置。请允许管理员权限或联系 IT 管理员后重试。";
    row.boxTitle = L"清理旧版注册表失败";
    return StepOutcome::End(RestoreAndAbort(sw, row));
}

void DeleteUnlistedServer(const InstallRun& run, bool listed, const char* fileName) {
    if (listed) return;
    DeleteFileW(JoinPath(run.targetDirW, Utf8ToWide(fileName)).c_str());
}

// The switch-over is complete: leftovers go, the Uninstall entry is written.
void FinishComSwitchOver(const InstallRun& run, SwitchOver& sw) {
    DiscardSavedVstoLoadBehavior(sw.registrationContext);
    bool vstoFilesRemoved = RemoveLegacyVstoFiles(run.targetDirW);
    DeleteUnlistedServer(run, sw.payload.core32Listed, kCore32FileName);
    DeleteUnlistedServer(run, sw.payload.core64Listed, kCore64FileName);
    WriteLog(std::string("legacy vsto cleanup done vstoFilesRemoved=") + LogBool(vstoFilesRemoved));
    WriteUninstallEntry(run.version, run.productName, run.targetDir, State().basePath.Get());
    WriteLog("register done");
    SetProgress(75);
}

StepOutcome SwitchOverCom(const InstallRun& run, SwitchOver& sw) {
    CaptureInstallSnapshot(sw.registrationContext, &sw.snapshot);
    SetProgress(72);
    SetStatusText("正在注册 Office 插件...");
    WriteLog("step 2: core register begin");
    StepOutcome outcome = RegisterCore(run, sw);
    if (outcome.goOn) outcome = CleanUserHive(sw);
    if (outcome.goOn) outcome = CleanMachineHive(run, sw);
    if (outcome.goOn) outcome = RunPostMigration(sw);
    if (outcome.goOn) FinishComSwitchOver(run, sw);
    return outcome;
}

std::string KnownFolder(int csidl) {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return std::string();
    return WideToUtf8(path);
}

// Fonts and the manual's shortcuts: best effort, nothing here fails the run.
void InstallFontsAndShortcuts(const InstallRun& run) {
    SetStatusText("正在安装基础字体...");
    WriteLog("install fonts begin");
    InstallVersionFonts(run.targetDir);
    WriteLog("install fonts done");
    SetProgress(80);

    SetStatusText("正在创建桌面快捷方式...");
    WriteLog("create shortcuts begin");
    const std::string target = run.targetDir + "Quilmo.exe";
    const std::string linkName = "\\奎墨说明书.lnk";
    for (int folder : {CSIDL_DESKTOP, CSIDL_STARTMENU}) {
        std::string directory = KnownFolder(folder);
        if (!directory.empty()) CreateShortcut(target, directory + linkName, "奎墨说明书");
    }
    WriteLog("create shortcuts done");
    SetProgress(85);
}

// The WebView2 runtime for the side panel: a missing runtime never stops
// the run.
void EnsureWebView2(const InstallRun& run, SwitchOver& sw) {
    if (IsWebView2RuntimeInstalled()) return;
    sw.webView2Missing = true;
    if (!sw.allowPrompts) {
        WriteLog("webview2 missing in auto/silent mode: core COM add-in enabled, AI/sidebar requires WebView2 repair "
                 "(RIDedavu)");
        return;
    }
    if (!run.webView2Setup.verified) {
        WriteLog("webview2 setup failed manifest download/SHA-256 verification; refusing to execute unverified disk "
                 "binary");
        SetStatusText("WebView2 引导程序下载或校验失败（不影响核心插件）。");
        return;
    }
    SetStatusText("正在安装 WebView2 运行时...");
    int exitCode = 1;
    if (!RunPrerequisiteElevated(L"webview2", run.webView2Setup.localPath, run.webView2Setup.sha256, exitCode)) {
        WriteLog("webview2 install cancelled or launch failed");
        SetStatusText("WebView2 安装被取消或失败（不影响核心插件）。");
        return;
    }
    WriteLog("webview2 install exit=" + std::to_string(exitCode));
    if (exitCode == 0 && IsWebView2RuntimeInstalled()) {
        sw.webView2Missing = false;
        return;
    }
    SetStatusText("WebView2 安装未完成（不影响核心插件）。");
}

std::wstring UserDataDirectory() {
    std::string roaming = KnownFolder(CSIDL_APPDATA);
    return roaming.empty() ? std::wstring() : Utf8ToWide(roaming + "\\quilmostudio\\Quilmo");
}

// Old version directories that nothing uses any more.
void CollectOldVersionDirectories(const InstallRun& run) {
    if (!run.baseLock.IsHeld()) {
        WriteLog("old-version gc skipped: base lock was not held during install");
        return;
    }
    std::vector<std::wstring> keep = {run.targetDirW};
    if (!run.installedDir.empty()) keep.push_back(Utf8ToWide(run.installedDir));
    CollectOldVersions(Utf8ToWide(State().basePath.Get()), GatherRegisteredDirectories(), keep, UserDataDirectory(),
                       &run.baseLock);
}

void ShowCompletionBox(const SwitchOver& sw) {
    const bool autoMode = State().autoMode;
    const std::wstring title = autoMode ? L"更新完成" : L"安装完成";
    if (!sw.vstoRestartNeeded && !sw.webView2Missing && sw.finalNote.empty()) {
        ShowRunMessage(autoMode ? L"奎墨 更新完成，下次打开 Office 时生效。" : L"奎墨 已成功安装！", title,
                       MB_ICONINFORMATION);
        return;
    }
    std::wstring text = L"奎墨 " + title + L"。";
    if (!sw.finalNote.empty()) text += L"\n\n" + sw.finalNote;
    if (sw.vstoRestartNeeded) text += L"\n\nVSTO 运行时需要重启电脑。重启后再打开 WPS 或 Office。";
    if (sw.webView2Missing) text += L"\n\n核心插件已启用，AI/侧边栏需修复 WebView2（可运行 RIDedavu）。";
    ShowRunMessage(text, title, MB_ICONWARNING);
}

// The run ends well: status, exit code, buttons and the completion box.
int Complete(const InstallRun& run, const SwitchOver& sw) {
    InstallerState& state = State();
    SetStatusText(state.autoMode ? "更新完成！下次打开 Office 时生效。" : "安装完成！");
    WriteLog("install complete");
    SetProgress(100);
    state.completed = true;
    state.exitCode = 0;
    state.busy = false;
    if (!state.silentMode) {
        WriteLog("file count=" + std::to_string(run.entries.size()));
        Reporter().Buttons(StartButtons::Completed);
        ShowCompletionBox(sw);
    }
    return 0;
}

int RunCommonTail(const InstallRun& run, SwitchOver& sw) {
    DiscardInstallSnapshot(&sw.snapshot);
    InstallFontsAndShortcuts(run);
    EnsureWebView2(run, sw);
    if (sw.isComPayload) WriteLog("vsto post-check skipped: com payload mode");
    QueueNativeImages(run.targetDir, sw.vstoRestartNeeded, sw.isComPayload);
    CollectOldVersionDirectories(run);
    return Complete(run, sw);
}

}  // namespace

int RunPhaseB(InstallRun& run) {
    SwitchOver sw;
    InstallerState& state = State();
    sw.allowPrompts = !state.autoMode && !state.silentMode;

    RemoveLegacyBatchFiles(run.targetDirW);
    sw.net48Present = IsNetFramework48Installed();
    StepOutcome outcome = ClassifyDownloadedPayload(run, sw);
    if (outcome.goOn) outcome = CheckCoreArchitectures(run, sw);
    if (outcome.goOn) outcome = CheckPostCommand(run, sw.postCommand);
    if (outcome.goOn) outcome = EnsureNetFramework48(run, sw);
    if (!outcome.goOn) return outcome.code;

    sw.registrationContext = UserOnlyTarget();
    WriteLog("reg target perUser=true writeHklm=false");
    outcome = sw.isComPayload ? SwitchOverCom(run, sw) : SwitchOverLegacyVsto(run, sw);
    if (!outcome.goOn) return outcome.code;
    return RunCommonTail(run, sw);
}

}  // namespace quilmo
