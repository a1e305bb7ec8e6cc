// The switch-over to the legacy VSTO generation of the add-in: the VSTO
// runtime is made ready where prompts are allowed, the publisher
// certificates of the deployment are imported, the three VSTO add-ins are
// registered under the install snapshot, and the COM generation's
// registration leaves the user's hive and, elevated, the machine's.
#include <windows.h>

#include "files/path_text.h"
#include "files/text_encoding.h"
#include "manifest/http_client.h"
#include "manifest/sha256.h"
#include "pipeline/installer_state.h"
#include "pipeline/reporting.h"
#include "pipeline/switch_over.h"
#include "probes/vsto_certificates.h"
#include "probes/vsto_readiness.h"
#include "registration/installed_version.h"
#include "registration/legacy_cleanup.h"
#include "registration/legacy_vsto_registration.h"
#include "startup/elevation.h"
#include "startup/installer_log.h"
#include "startup/prerequisite_installer.h"

namespace quilmo {

namespace {

const wchar_t kRuntimeInstallerName[] = L"vstor_redist.exe";

const wchar_t kUncertainNote[] = L"无法确认 VSTO 加载组件就绪。若插件无法加载，可打开奎墨安装器或 RIDedavu 补装。";
const wchar_t kDownloadFailedNote[] = L"VSTO 运行时下载失败。请重试安装，或手动安装微软 VSTO 运行时。";
const wchar_t kPackageMismatchNote[] = L"VSTO 安装包校验失败。请重试安装，或手动安装微软 VSTO 运行时。";
const wchar_t kStillUncertainNote[] =
    L"VSTO 安装程序已运行，复检仍无法确认加载组件就绪。若插件无法加载，请运行 RIDedavu 诊断。";
const wchar_t kInstallFailedNote[] = L"VSTO 运行时安装失败或已取消。请重试安装，或手动安装微软 VSTO 运行时。";

// What the legacy switch-over learns about the VSTO runtime on its way.
struct RuntimeCheck {
    VstoReadiness before;
    bool missingAtStart = false;
};

RuntimeCheck EvaluateRuntime() {
    RuntimeCheck check;
    check.before = EvaluateVstoReadiness();
    check.missingAtStart = check.before.state == kVstoMissing;
    WriteLog("vsto before " + FormatVstoReadiness(check.before));
    return check;
}

// An unattended run never installs the runtime: without it the previous
// add-in stays as it is.
StepOutcome DecideUnattended(const RuntimeCheck& check, SwitchOver& sw) {
    if (sw.allowPrompts) return StepOutcome::Continue();
    if (check.before.state == kVstoMissing) {
        WriteLog("automated legacy vsto aborted: runtime missing");
        SetStatusText("缺少 VSTO 运行时，自动化回退已中止（保留原插件）。");
        State().busy = false;
        State().exitCode = 1;
        return StepOutcome::End(1);
    }
    if (check.before.state == kVstoUncertain) sw.finalNote = kUncertainNote;
    return StepOutcome::Continue();
}

// The import's result never stops the run.
void ImportCertificates(const InstallRun& run) {
    SetStatusText("正在导入 VSTO 证书...");
    const CertificateImport imported = ImportVstoPublisherCertificates(run.targetDirW);
    WriteLog("vsto cert import publishers=" + std::to_string(imported.publishers) + " ca=" +
             std::to_string(imported.ca) + " failed=" + std::to_string(imported.failed) + " ok=" +
             LogBool(imported.ok));
    WriteLog("disable publisher revocation check done");
    SetProgress(70);
}

// Whether to install the runtime: always when it is missing, after asking
// (no by default) when it is uncertain.
bool WantsRuntimeInstall(const RuntimeCheck& check) {
    if (check.before.state == kVstoMissing) return true;
    if (check.before.state != kVstoUncertain) return false;
    SetStatusText("正在检查 VSTO 运行时...");
    const std::wstring question =
        Utf8ToWide(DescribeVstoGap(check.before)) +
        L"\n\n如果 WPS 或 Office 中的奎墨已经可以正常使用，请选择「否」。如果插件无法显示或启用，可选择「是」补装微软 "
        L"VSTO 运行时。\n\n现在补装吗？";
    const bool accepted = Reporter().Ask(question, L"可选：补装 VSTO 运行时");
    WriteLog(accepted ? "vsto optional install accepted" : "vsto optional install skipped");
    return accepted;
}

// The runtime installer: one already in the version directory when it is a
// known build, else downloaded there. Empty after a failure, which sets the
// note. downloaded tells whether this run fetched it.
std::wstring ObtainRuntimeInstaller(const InstallRun& run, SwitchOver& sw, std::string& sha256, bool& downloaded) {
    const std::wstring path = JoinPath(run.targetDirW, kRuntimeInstallerName);
    downloaded = false;
    sha256 = Sha256OfFile(path);
    if (!sha256.empty() && IsKnownVstoRedistributableHash(sha256)) return path;
    SetStatusText("正在下载 VSTO 运行时...");
    Sha256Stream digest;
    if (run.vstoUrl.empty() || !DownloadFile(run.vstoUrl, path, digest, sha256)) {
        WriteLog("vsto download failed");
        sw.finalNote = kDownloadFailedNote;
        return std::wstring();
    }
    downloaded = true;
    if (!IsKnownVstoRedistributableHash(sha256)) {
        WriteLog("vsto package hash mismatch");
        sw.finalNote = kPackageMismatchNote;
        DeleteFileW(path.c_str());
        return std::wstring();
    }
    return path;
}

// Started like the other prerequisites: from a private copy that is hashed
// again and checked for Microsoft's signature, never from the version
// directory, which the user's own programs can write.
void RunRuntimeInstaller(const std::wstring& installer, const std::string& sha256, SwitchOver& sw) {
    SetStatusText("正在安装 VSTO 运行时...");
    int exitCode = 1;
    if (!RunPrerequisiteElevated(L"vsto", installer, sha256, exitCode)) {
        WriteLog("vsto install result unavailable");
        sw.finalNote = kInstallFailedNote;
        return;
    }
    WriteLog("vsto install exit=" + std::to_string(exitCode));
    if (exitCode == 3010 || exitCode == 1641) {
        sw.vstoRestartNeeded = true;
    } else if (exitCode == 0) {
        const VstoReadiness after = EvaluateVstoReadiness();
        WriteLog("vsto after " + FormatVstoReadiness(after));
        if (after.state != kVstoReady) sw.finalNote = kStillUncertainNote;
    } else {
        sw.finalNote = kInstallFailedNote;
    }
}

StepOutcome AbortRuntimeIncomplete(const SwitchOver& sw) {
    AbortRow row;
    row.logLines = {"legacy vsto runtime install incomplete; aborting cutover to preserve prior plugin"};
    row.statusText = "VSTO 运行时安装未完成，已保留原插件配置。";
    row.boxText = sw.finalNote;
    row.boxTitle = L"VSTO 安装未完成";
    return StepOutcome::End(AbortRun(row));
}

// Where prompts are allowed: installs the runtime when it is missing, or
// when it is uncertain and the user agrees. A runtime that was missing and
// is still not installed stops the run before the registry changes.
StepOutcome EnsureRuntime(const InstallRun& run, const RuntimeCheck& check, SwitchOver& sw) {
    if (!sw.allowPrompts || !WantsRuntimeInstall(check)) return StepOutcome::Continue();
    std::string sha256;
    bool downloaded = false;
    const std::wstring installer = ObtainRuntimeInstaller(run, sw, sha256, downloaded);
    if (!installer.empty()) {
        RunRuntimeInstaller(installer, sha256, sw);
        if (downloaded) DeleteFileW(installer.c_str());
    }
    if (check.missingAtStart && !sw.finalNote.empty()) return AbortRuntimeIncomplete(sw);
    return StepOutcome::Continue();
}

struct VstoHostCheck {
    const wchar_t* officeKeyName;
    const wchar_t* shortName;
};

constexpr VstoHostCheck kVstoHosts[] = {{L"Word", L"Word"}, {L"Excel", L"Excel"}, {L"PowerPoint", L"PPT"}};

StepOutcome RegisterVstoAddins(const InstallRun& run, SwitchOver& sw) {
    RegisterLegacyVstoAddin(sw.registrationContext, run.targetDirW, run.productName, run.productDescription);
    for (const VstoHostCheck& host : kVstoHosts) {
        if (VerifyLegacyVstoHost(sw.registrationContext, run.targetDirW, host.officeKeyName, host.shortName)) continue;
        AbortRow row;
        row.logLines = {"legacy vsto registration verification failed"};
        row.statusText = "VSTO 加载项注册验证失败，安装中止。";
        row.boxText = L"写入 VSTO 加载项注册表或 Manifest 校验失败，已保留原插件配置。";
        row.boxTitle = L"注册失败";
        return StepOutcome::End(RestoreAndAbort(sw, row));
    }
    return StepOutcome::Continue();
}

StepOutcome RemoveUserComGeneration(SwitchOver& sw) {
    const bool removed = RemoveUserComRegistration(CopyRegistrationTarget(sw.registrationContext));
    WriteLog(std::string("legacy vsto hkcu com cleanup ok=") + LogBool(removed));
    if (removed) return StepOutcome::Continue();
    AbortRow row;
    row.statusText = "清理旧版核心组件注册表失败，已恢复原配置。";
    row.boxText = L"清理当前用户核心组件注册表失败，已恢复原插件配置以避免双加载冲突。";
    row.boxTitle = L"清理失败";
    return StepOutcome::End(RestoreAndAbort(sw, row));
}

// The machine hive is cleaned by an elevated copy only when it still holds
// the COM generation.
StepOutcome RemoveMachineComGeneration(const InstallRun& run, SwitchOver& sw) {
    const ProbeState before = MachineComState(sw.registrationContext);
    if (before == ProbeState::Absent) return StepOutcome::Continue();
    WriteLog("legacy vsto hklm com cleanup required state=" + std::to_string(static_cast<int>(before)));
    const bool elevatedOk = RunElevatedCleanup(run.targetDirW, true);
    const ProbeState after = MachineComState(sw.registrationContext);
    WriteLog(std::string("legacy vsto hklm com cleanup ok=") + LogBool(elevatedOk) +
             " afterState=" + std::to_string(static_cast<int>(after)));
    if (elevatedOk && after == ProbeState::Absent) return StepOutcome::Continue();
    AbortRow row;
    row.statusText = "清理系统级核心组件注册表失败，已恢复原配置。";
    row.boxText = L"检测到系统级(HKLM)存在 Quilmo2027 注册表项或权限受阻，提权清理失败或被取消。\n\n"
                  L"为避免新旧插件双加载冲突，已完整恢复原插件配置。";
    row.boxTitle = L"清理失败";
    return StepOutcome::End(RestoreAndAbort(sw, row));
}

void FinishLegacySwitchOver(const InstallRun& run) {
    RunLegacyUninstaller();
    WriteUninstallEntry(run.version, run.productName, run.targetDir, State().basePath.Get());
    WriteLog("register done");
    SetProgress(75);
}

}  // namespace

StepOutcome SwitchOverLegacyVsto(const InstallRun& run, SwitchOver& sw) {
    const RuntimeCheck runtime = EvaluateRuntime();
    StepOutcome outcome = DecideUnattended(runtime, sw);
    if (!outcome.goOn) return outcome;
    ImportCertificates(run);
    outcome = EnsureRuntime(run, runtime, sw);
    if (!outcome.goOn) return outcome;

    SetProgress(73);
    CaptureInstallSnapshot(sw.registrationContext, &sw.snapshot);
    SetStatusText("正在注册 Office 插件...");
    WriteLog("register begin");
    outcome = RegisterVstoAddins(run, sw);
    if (outcome.goOn) outcome = RemoveUserComGeneration(sw);
    if (outcome.goOn) outcome = RemoveMachineComGeneration(run, sw);
    if (outcome.goOn) outcome = RunPostMigration(sw);
    if (outcome.goOn) FinishLegacySwitchOver(run);
    return outcome;
}

}  // namespace quilmo
