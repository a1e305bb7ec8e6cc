#include "pipeline/post_command.h"

#include <shellapi.h>
#include <shlwapi.h>

#include "build_constants.h"
#include "files/path_text.h"
#include "files/text_encoding.h"
#include "files/unique_handle.h"
#include "manifest/code_signing.h"
#include "manifest/manifest_fetch.h"
#include "pipeline/abort.h"
#include "pipeline/installer_state.h"
#include "pipeline/reporting.h"
#include "startup/installer_log.h"

namespace quilmo {

namespace {

// The program must carry the same signer the manifest carries.
ExpectedSigner PostCommandSigner() {
    ExpectedSigner signer;
    signer.publisherName = kPublisherName;
    signer.pinnedKeyHash = kPinnedKeySha256;
    signer.pinIsSufficient = true;
    return signer;
}

StepOutcome Refuse(const std::string& logLine, const char* status, const std::wstring& box, const wchar_t* title) {
    AbortRow row;
    row.logLines = {logLine};
    row.statusText = status;
    row.boxText = box;
    row.boxTitle = title;
    return StepOutcome::End(AbortRun(row));
}

void ReportFailure(DWORD exitCode) {
    InstallerState& state = State();
    SetStatusText("后置迁移组件执行失败，已回滚原配置。");
    state.busy = false;
    state.exitCode = 1;
    RestoreStartButtons();
    ShowRunMessage(L"后置迁移组件执行失败或超时（退出码：" + std::to_wstring(exitCode) +
                       L"），已恢复原插件配置。请检查日志或运行 RIDedavu 诊断。",
                   L"迁移未完成", MB_ICONERROR);
}

}  // namespace

StepOutcome CheckPostCommand(const InstallRun& run, PostCommandLaunch& launch) {
    launch.command = run.postCommand;
    launch.workingDirectory = run.targetDirW;
    launch.fullPath.clear();
    if (launch.command.empty()) return StepOutcome::Continue();
    WriteLog("pre-check post cmd=" + launch.command);
    if (!IsAllowedPostCommand(launch.command)) {
        return Refuse("abort: post cmd rejected by allowlist before registry mutation: " + launch.command,
                      "后置迁移组件不在白名单内，安装中止。", L"更新清单包含未受信任的后置命令，已中止安装。",
                      L"组件校验失败");
    }
    launch.fullPath = JoinPath(run.targetDirW, Utf8ToWide(launch.command));
    if (!PathFileExistsW(launch.fullPath.c_str())) {
        return Refuse("abort: post cmd file missing before registry mutation: " + WideToUtf8(launch.fullPath),
                      "后置迁移组件缺失，安装中止。", L"未找到清单指定的后置迁移组件，已中止安装以避免破坏现有配置。",
                      L"组件缺失");
    }
    std::wstring message;
    if (!VerifyComponentSignature(launch.fullPath, PostCommandSigner(), message)) {
        return Refuse("abort: post cmd Authenticode verification failed before registry mutation: " +
                          WideToUtf8(message),
                      "后置迁移组件签名校验失败，安装中止。", message, L"签名校验失败");
    }
    return StepOutcome::Continue();
}

bool RunPostCommandWith(const PostCommandLaunch& launch, DWORD timeLimitMs) {
    if (launch.command.empty()) return true;
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof info;
    // No shell error dialog when the start fails: an unattended run has
    // nobody to close it and would wait on it forever.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    info.lpVerb = L"open";
    info.lpFile = launch.fullPath.c_str();
    info.lpDirectory = launch.workingDirectory.c_str();
    info.nShow = SW_HIDE;
    DWORD exitCode = 1;
    if (!ShellExecuteExW(&info) || info.hProcess == nullptr) {
        WriteLog("post cmd launch failed err=" + std::to_string(GetLastError()));
        ReportFailure(exitCode);
        return false;
    }
    // A program still running after the limit is left to finish on its own.
    UniqueHandle process(info.hProcess);
    DWORD waitRc = WaitForSingleObject(process.get(), timeLimitMs);
    bool succeeded = false;
    DWORD obtained = 0;
    if (waitRc == WAIT_OBJECT_0 && GetExitCodeProcess(process.get(), &obtained)) {
        exitCode = obtained;
        succeeded = exitCode == 0;
    }
    WriteLog("post cmd waitRc=" + std::to_string(waitRc) + " exitCode=" + std::to_string(exitCode));
    if (succeeded) return true;
    ReportFailure(exitCode);
    return false;
}

bool RunPostCommand(const PostCommandLaunch& launch) { return RunPostCommandWith(launch, kPostCommandTimeLimitMs); }

}  // namespace quilmo
