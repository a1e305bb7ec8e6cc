#include "pipeline/phase_a.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "build_constants.h"
#include "files/path_text.h"
#include "files/text_encoding.h"
#include "files/version_directories.h"
#include "manifest/http_client.h"
#include "manifest/manifest_fetch.h"
#include "manifest/payload_names.h"
#include "manifest/sha256.h"
#include "manifest/url_template.h"
#include "pipeline/abort.h"
#include "pipeline/download_ahead.h"
#include "pipeline/download_rules.h"
#include "pipeline/installer_state.h"
#include "pipeline/parallel_hasher.h"
#include "pipeline/reporting.h"
#include "probes/interactive_user.h"
#include "registration/installed_version.h"
#include "startup/installer_log.h"

namespace quilmo {

namespace {

bool SameHash(const std::string& a, const std::string& b) {
    return !a.empty() && a.size() == b.size() && _stricmp(a.c_str(), b.c_str()) == 0;
}

// A cancellation point: the window was destroyed while the run was going.
bool CancelRequested() {
    if (!State().cancelRequested) return false;
    State().exitCode = 1;
    return true;
}

std::wstring LocalPathOf(const InstallRun& run, const ManifestFileEntry& entry) {
    return JoinPath(run.targetDirW, Utf8ToWide(entry.path));
}

PrerequisiteFile* BootstrapperRecord(InstallRun& run, const ManifestFileEntry& entry) {
    std::string name = TopLevelName(entry.path);
    if (name == kNet48SetupName) return &run.net48Setup;
    if (name == kWebView2SetupName) return &run.webView2Setup;
    return nullptr;
}

// The run begins; a window that is already gone ends it.
StepOutcome StartRun() {
    InstallerState& state = State();
    WriteLog("RunInstaller begin");
    state.completed = false;
    state.exitCode = 0;
    Sleep(100);
    if (!Reporter().Watched()) {
        WriteLog("RunInstaller aborted: window missing");
        state.busy = false;
        return StepOutcome::End(1);
    }
    return StepOutcome::Continue();
}

// The manifest the window already read, or a fresh fetch and signature check.
StepOutcome ObtainManifest(InstallRun& run) {
    InstallerState& state = State();
    if (state.manifestReady) {
        run.manifestText = state.cachedManifest;
        return StepOutcome::Continue();
    }
    SetStatusText("正在获取并校验更新信息...");
    WriteLog("fetch and verify manifest begin");
    std::wstring message;
    if (FetchManifest(run.manifestText, message)) return StepOutcome::Continue();
    AbortRow row;
    row.logLines = {"manifest fetch/verify failed: " + WideToUtf8(message)};
    row.statusText = "更新清单获取或签名校验失败。";
    row.boxText = message;
    row.boxTitle = L"更新清单验证失败";
    return StepOutcome::End(AbortRun(row));
}

// An installer started under another administrator's account would register
// the add-in for the wrong user.
StepOutcome CheckAccount() {
    std::string current;
    std::string interactive;
    if (!DetectInteractiveUserMismatch(&current, &interactive)) return StepOutcome::Continue();
    auto shown = [](const std::string& account) { return account.empty() ? std::wstring(L"<未知>") : Utf8ToWide(account); };
    AbortRow row;
    row.logLines = {"abort: interactive user mismatch current=" + current + " interactive=" + interactive};
    row.statusText = "检测到跨管理员账户运行，安装已中止。";
    row.code = 3;
    row.boxText = L"检测到当前安装程序是通过其他管理员账户运行的（当前令牌账户：" + shown(current) + L"，桌面登录账户：" +
                  shown(interactive) +
                  L"）。\n\n如果继续安装，插件会写入管理员账户的 HKCU，当前登录账户打开 Office/WPS 将看不到插件。"
                  L"\n\n请关闭本窗口，在当前登录账户下直接双击运行安装程序（无需右键“以管理员身份运行”）。";
    row.boxTitle = L"账户不一致提示";
    row.boxIcon = MB_ICONWARNING;
    return StepOutcome::End(AbortRun(row));
}

// The release's name, description and version, with the built-in texts
// where the manifest names none.
void ReadTexts(InstallRun& run) {
    run.productName = GetManifestValue(run.manifestText, "AppName");
    run.productDescription = GetManifestValue(run.manifestText, "AppDes");
    run.version = GetManifestValue(run.manifestText, "Vison");
    if (run.version.empty()) run.version = "unknown";
    WriteLog("manifest version=" + run.version);
    if (run.productName.empty()) run.productName = WideToUtf8(kProductDisplayName);
    if (run.productDescription.empty()) run.productDescription = WideToUtf8(kTagline);
    State().appName.Set(Utf8ToWide(run.productName));
    State().appDescription.Set(Utf8ToWide(run.productDescription));
}

// What is installed now, for the log and the main button's caption.
void DetectExistingInstall(InstallRun& run) {
    InstallerState& state = State();
    InstalledVersion installed = FindInstalledVersion();
    run.installedVersion = installed.version;
    run.installedDir = installed.directory;
    bool existing = installed.found || !installed.directory.empty();
    state.existingInstall = existing;
    state.installedVersion.Set(run.installedVersion);
    if (existing) {
        WriteLog("installed version=" + (run.installedVersion.empty() ? std::string("<unreadable>") : run.installedVersion));
        WriteLog("installed path=" + run.installedDir);
    }
    Reporter().Offer({existing, run.installedVersion, run.version});
}

// The install base exists and its lock is held while versions are staged.
void PrepareBaseDirectory(InstallRun& run) {
    std::wstring base = Utf8ToWide(State().basePath.Get());
    if (!base.empty() && GetFileAttributesW(base.c_str()) == INVALID_FILE_ATTRIBUTES) {
        SHCreateDirectoryExW(nullptr, base.c_str(), nullptr);
    }
    if (!run.baseLock.TryAcquire(base)) {
        WriteLog("old-version gc base lock not acquired before staging (non-blocking; will skip end-of-install gc)");
    }
}

// The version directory this run fills.
StepOutcome ChooseTargetDirectory(InstallRun& run) {
    InstallerState& state = State();
    std::string base = state.basePath.Get();
    // A version that is no plain directory name yields no candidate at all,
    // and the run stops here.
    std::string candidate = AllocateTargetDirectory(base, run.version, false);
    if (!candidate.empty()) {
        bool overInstalled = !run.installedDir.empty() && SamePath(Utf8ToWide(candidate), Utf8ToWide(run.installedDir));
        run.targetDir = AllocateTargetDirectory(base, run.version, state.autoMode || overInstalled);
    }
    if (run.targetDir.empty()) {
        AbortRow row;
        row.logLines = {"failed to allocate unique staging directory"};
        row.statusText = "无法创建独立暂存目录，安装中止。";
        row.boxText = L"无法创建安全的更新暂存目录，请清理旧版本目录后重试。";
        row.boxTitle = L"目录错误";
        return StepOutcome::End(AbortRun(row));
    }
    run.targetDirW = Utf8ToWide(run.targetDir);
    state.targetPath.Set(run.targetDir);
    state.displayPath.Set(base);
    WriteLog("target path=" + run.targetDir);
    return StepOutcome::Continue();
}

// The values only the switch-over needs.
void ReadLaterValues(InstallRun& run) {
    run.vstoUrl = ExpandUrlTemplate(GetManifestValue(run.manifestText, "VSTO"), run.version, kDownloadBaseUrl);
    run.postCommand = GetManifestValue(run.manifestText, "Cmd");
}

// The version directory exists before anything is copied or fetched into it.
StepOutcome CreateTargetDirectory(const InstallRun& run) {
    int result = SHCreateDirectoryExW(nullptr, run.targetDirW.c_str(), nullptr);
    WriteLog("create target dir result=" + std::to_string(result));
    if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS) return StepOutcome::Continue();
    AbortRow row;
    row.logLines = {"create target dir failed"};
    row.statusText = "无法创建安装目录，请检查权限。";
    row.boxText = L"无法创建安装目录：" + run.targetDirW + L"\n\n请选择其他目录或以管理员身份运行安装程序。";
    row.boxTitle = L"目录错误";
    return StepOutcome::End(AbortRun(row));
}

// Copying the installed version only saves downloads; whatever it copies is checked against the
// manifest in the next steps, with the digests the copy took of the bytes it
// wrote (the copied files stay locked against change until then).
void CarryOverPreviousVersion(const InstallRun& run, CopiedFiles& copied) {
    if (run.installedDir.empty()) return;
    std::wstring installed = Utf8ToWide(run.installedDir);
    if (SamePath(installed, run.targetDirW) || IsStrictlyInside(installed, run.targetDirW)) return;
    if (!PathFileExistsW(installed.c_str())) return;
    SetStatusText("正在复制旧版本文件...");
    WriteLog("copy old version begin");
    bool result = CopyPreviousVersion(installed, run.targetDirW, &copied);
    WriteLog(std::string("copy old version result=") + LogBool(result));
}

// The release's file list, every entry checked before anything is fetched.
StepOutcome ReadFileList(InstallRun& run) {
    std::string badPath;
    std::string badHash;
    if (!ReadFileEntries(run.manifestText, run.version, kDownloadBaseUrl, run.entries, badPath, badHash)) {
        AbortRow row;
        row.logLines = {"abort: invalid manifest file entry path=" + badPath + " hash=" + badHash};
        row.statusText = "更新清单文件项校验失败，安装中止。";
        row.boxText = L"更新清单包含无效的文件路径或缺失 SHA-256 哈希，已中止安装。";
        row.boxTitle = L"清单校验失败";
        return StepOutcome::End(AbortRun(row));
    }
    if (run.entries.empty()) {
        AbortRow row;
        row.logLines = {"file list empty"};
        row.statusText = "文件清单为空或解析失败，请联系作者。";
        return StepOutcome::End(AbortRun(row));
    }
    return StepOutcome::Continue();
}

// Which listed files are already present and intact. A file the copy wrote is judged by the digest of the bytes it
// wrote; the others are hashed ahead on every processor. The walk below
// still checks, reports and decides entry by entry.
StepOutcome VerifyPresentFiles(InstallRun& run, const CopiedFiles& copied) {
    SetStatusText("正在检查文件完整性...");
    std::vector<std::wstring> localPaths;
    std::vector<std::wstring> toHash;
    for (const ManifestFileEntry& entry : run.entries) {
        localPaths.push_back(LocalPathOf(run, entry));
        toHash.push_back(copied.DigestOf(localPaths.back()).empty() ? localPaths.back() : std::wstring());
    }
    ParallelFileHasher hasher(std::move(toHash));
    for (size_t i = 0; i < run.entries.size(); ++i) {
        if (CancelRequested()) return StepOutcome::End(1);
        const ManifestFileEntry& entry = run.entries[i];
        const std::wstring& local = localPaths[i];
        PrerequisiteFile* bootstrapper = BootstrapperRecord(run, entry);
        if (bootstrapper != nullptr) {
            bootstrapper->present = true;
            bootstrapper->sha256 = entry.hash;
            bootstrapper->localPath = local;
            bootstrapper->verified = false;
        }
        if (PathFileExistsW(local.c_str())) {
            if (i % 5 == 0) SetStatusText("正在验证: " + entry.path);
            std::string digest = copied.DigestOf(local);
            if (digest.empty()) digest = hasher.Digest(i);
            if (SameHash(digest, entry.hash)) {
                if (bootstrapper != nullptr) bootstrapper->verified = true;
            } else {
                run.needed.push_back(entry);
            }
        } else {
            run.needed.push_back(entry);
        }
        SetProgress(VerifyProgress(i, run.entries.size()));
    }
    return StepOutcome::Continue();
}

void CreateParentDirectory(const std::wstring& local) {
    size_t slash = local.find_last_of(L'\\');
    if (slash == std::wstring::npos) return;
    SHCreateDirectoryExW(nullptr, local.substr(0, slash).c_str(), nullptr);
}

// Downloads into a temporary name at the top of the target directory, on a
// fetching thread, and hashes the bytes as they are written (the temporary
// file is open to nobody else meanwhile). A failed download leaves nothing
// behind. The file's own directory is made by the walk when it takes the
// file, in list order, so fetching ahead never shapes the tree.
FetchedFile FetchToTemporary(const ManifestFileEntry& entry, const std::wstring& targetDir,
                             const std::atomic<bool>& stop) {
    FetchedFile fetched;
    fetched.temporary = JoinPath(targetDir, L".__qmdl_" + RandomHexToken() + L".tmp");
    Sha256Stream digestStream;
    fetched.ok = DownloadFile(entry.url, fetched.temporary, digestStream, fetched.sha256, entry.size, &stop);
    return fetched;
}

// The file moves under its listed name only once its SHA-256 matched, so a
// listed name never holds a partial or unverified download, not even after
// the process was ended half-way. Returns false after logging the failure.
bool AcceptFetchedFile(const ManifestFileEntry& entry, const std::wstring& local, const FetchedFile& fetched) {
    if (!fetched.ok) {
        WriteLog("download failed=" + entry.path);
        SetStatusText("下载失败: " + entry.path);
        return false;
    }
    if (!SameHash(fetched.sha256, entry.hash)) {
        WriteLog("hash failed=" + entry.path);
        SetStatusText("校验失败: " + entry.path);
        DeleteFileW(fetched.temporary.c_str());
        DeleteFileW(local.c_str());
        return false;
    }
    if (!MoveFileExW(fetched.temporary.c_str(), local.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        WriteLog("download failed=" + entry.path);
        SetStatusText("下载失败: " + entry.path);
        DeleteFileW(fetched.temporary.c_str());
        return false;
    }
    return true;
}

StepOutcome AbortDownloads() {
    AbortRow row;
    row.statusText = "多个文件下载失败，安装中止。";
    row.boxText = L"文件下载或校验失败，请检查网络连接后重试。\n\n如问题持续，请联系技术支持。";
    row.boxTitle = L"下载错误";
    return StepOutcome::End(AbortRun(row));
}

// Fetches the files still needed. They are fetched a few ahead; this walk takes them in list
// order and decides, reports and counts each one as it comes.
StepOutcome DownloadNeededFiles(InstallRun& run) {
    size_t downloaded = 0;
    size_t failures = 0;
    DownloadAhead ahead(run.needed.size(), [&run](size_t index, const std::atomic<bool>& stop) {
        return FetchToTemporary(run.needed[index], run.targetDirW, stop);
    });
    for (size_t i = 0; i < run.needed.size(); ++i) {
        const ManifestFileEntry& entry = run.needed[i];
        if (CancelRequested()) {
            ahead.Stop();
            return StepOutcome::End(1);
        }
        if (ShowsTipBeforeNextFile(downloaded)) {
            Reporter().DownloadTip();
        } else {
            SetStatusText("正在下载: " + entry.path);
        }
        FetchedFile fetched = ahead.Take(i, downloaded);
        std::wstring local = LocalPathOf(run, entry);
        CreateParentDirectory(local);
        if (AcceptFetchedFile(entry, local, fetched)) {
            if (PrerequisiteFile* bootstrapper = BootstrapperRecord(run, entry)) bootstrapper->verified = true;
            ++downloaded;
            SetProgress(DownloadProgress(downloaded, run.needed.size()));
            continue;
        }
        run.failedPaths.push_back(entry.path);
        ++failures;
        if (TooManyDownloadFailures(failures, run.needed.size())) {
            ahead.Stop();
            return AbortDownloads();
        }
    }
    return StepOutcome::Continue();
}

// A few failed downloads are tolerated, with a warning.
StepOutcome AcceptToleratedFailures(const InstallRun& run) {
    size_t failures = run.failedPaths.size();
    if (failures >= 1 && failures <= 5) {
        ShowRunMessage(L"有 " + std::to_wstring(failures) + L" 个文件下载失败，但安装将继续。\n\n如果程序运行异常，请重新安装。",
                       L"警告", MB_ICONWARNING);
    }
    if (CancelRequested()) return StepOutcome::End(1);
    WriteLog("download failed count=" + std::to_string(failures));
    return StepOutcome::Continue();
}

}  // namespace

StepOutcome RunPhaseA(InstallRun& run) {
    StepOutcome outcome = StartRun();
    if (outcome.goOn) outcome = ObtainManifest(run);
    if (outcome.goOn) outcome = CheckAccount();
    if (!outcome.goOn) return outcome;
    ReadTexts(run);
    DetectExistingInstall(run);
    PrepareBaseDirectory(run);
    outcome = ChooseTargetDirectory(run);
    if (!outcome.goOn) return outcome;
    ReadLaterValues(run);
    outcome = CreateTargetDirectory(run);
    if (!outcome.goOn) return outcome;
    CopiedFiles copied;
    CarryOverPreviousVersion(run, copied);
    outcome = ReadFileList(run);
    if (outcome.goOn) outcome = VerifyPresentFiles(run, copied);
    copied.Release();  // the downloads may replace what did not match
    if (!outcome.goOn) return outcome;
    WriteLog("download needed count=" + std::to_string(run.needed.size()));
    outcome = DownloadNeededFiles(run);
    if (outcome.goOn) outcome = AcceptToleratedFailures(run);
    return outcome;
}

}  // namespace quilmo
