#include "manifest/payload_check.h"

#include <set>

#include "manifest/payload_names.h"

namespace quilmo {

const char kCoreFileName[] = "Quilmo.Core.dll";
const char kCore32FileName[] = "ZUDodi32.dll";
const char kCore64FileName[] = "REDero64.dll";

namespace {

const char kCoreConfigFileName[] = "Quilmo.Core.dll.config";
const char kLibraryFileName[] = "Library.dll";
const char kLibraryConfigFileName[] = "Library.dll.config";

// The three deployments, each as .vsto, .dll, .dll.manifest, in the order
// they are checked; on disk they carry these same names.
const char* const kVstoNames[] = {
    "quilmo2025.word.vsto",  "quilmo2025.word.dll",  "quilmo2025.word.dll.manifest",
    "quilmo2025.excel.vsto", "quilmo2025.excel.dll", "quilmo2025.excel.dll.manifest",
    "quilmo2025.ppt.vsto",   "quilmo2025.ppt.dll",   "quilmo2025.ppt.dll.manifest",
};

const char* const kCriticalExtensions[] = {".dll", ".exe", ".config", ".xll", ".dna", ".vsto", ".manifest"};

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsVstoName(const std::string& name) {
    for (const char* vsto : kVstoNames) {
        if (name == vsto) return true;
    }
    return false;
}

void MarkListed(PayloadCheck& check, const std::string& name, std::set<std::string>& listedVsto) {
    if (name == "quilmo.core.dll") check.coreListed = true;
    if (name == "quilmo.core.dll.config") check.coreConfigListed = true;
    if (name == "library.dll") check.libraryListed = true;
    if (name == "library.dll.config") check.libraryConfigListed = true;
    if (name == "zudodi32.dll") check.core32Listed = true;
    if (name == "redero64.dll") check.core64Listed = true;
    if (EndsWith(name, ".vsto") && IsVstoName(name)) check.vstoListed = true;
    if (IsVstoName(name)) listedVsto.insert(name);
}

void ReadOnDisk(PayloadCheck& check, const FileOnDiskFn& fileOnDisk) {
    check.coreOnDisk = fileOnDisk(kCoreFileName);
    check.coreConfigOnDisk = fileOnDisk(kCoreConfigFileName);
    check.libraryOnDisk = fileOnDisk(kLibraryFileName);
    check.libraryConfigOnDisk = fileOnDisk(kLibraryConfigFileName);
    check.core32OnDisk = fileOnDisk(kCore32FileName);
    check.core64OnDisk = fileOnDisk(kCore64FileName);
}

PayloadCheck& Invalid(PayloadCheck& check, const std::string& detail) {
    check.mode = PayloadMode::InvalidCom;
    check.register32 = false;
    check.register64 = false;
    check.detail = detail;
    return check;
}

// Listed, on disk and not among the failed downloads.
bool Usable(bool listed, bool onDisk, const std::set<std::string>& failedNames, const char* fileName) {
    return listed && onDisk && failedNames.count(Lower(fileName)) == 0;
}

PayloadCheck ClassifyCom(PayloadCheck check, bool is64BitWindows, const std::string* criticalFailure,
                         const std::set<std::string>& failedNames) {
    if (criticalFailure != nullptr) return Invalid(check, "关键运行库或配置文件下载校验失败：" + *criticalFailure);
    if (!Usable(check.coreListed, check.coreOnDisk, failedNames, kCoreFileName)) {
        return Invalid(check, "安装包清单包含核心组件，但核心文件 Quilmo.Core.dll 缺失或下载校验失败。");
    }
    if (!Usable(check.coreConfigListed, check.coreConfigOnDisk, failedNames, kCoreConfigFileName)) {
        return Invalid(check, "核心配置文件 Quilmo.Core.dll.config 缺失或下载校验失败。");
    }
    if (!Usable(check.libraryListed, check.libraryOnDisk, failedNames, kLibraryFileName)) {
        return Invalid(check, "核心程序集 Library.dll 缺失或下载校验失败。");
    }
    if (check.libraryConfigListed &&
        !Usable(true, check.libraryConfigOnDisk, failedNames, kLibraryConfigFileName)) {
        return Invalid(check, "Library.dll.config 缺失或下载校验失败。");
    }
    if (is64BitWindows) {
        if (!check.core32Listed && !check.core64Listed) {
            return Invalid(check, "64 位系统清单未包含任何架构的 DEDuve DLL。");
        }
        if (check.core32Listed && !Usable(true, check.core32OnDisk, failedNames, kCore32FileName)) {
            return Invalid(check, "清单包含 ZUDodi32.dll，但磁盘文件缺失或下载校验失败。");
        }
        if (check.core64Listed && !Usable(true, check.core64OnDisk, failedNames, kCore64FileName)) {
            return Invalid(check, "清单包含 REDero64.dll，但磁盘文件缺失或下载校验失败。");
        }
    } else if (!Usable(check.core32Listed, check.core32OnDisk, failedNames, kCore32FileName)) {
        return Invalid(check, "32 位系统需要 ZUDodi32.dll，但文件缺失或下载校验失败。");
    }
    check.register32 = check.core32Listed && check.core32OnDisk;
    check.register64 = is64BitWindows && check.core64Listed && check.core64OnDisk;
    check.mode = PayloadMode::Com;
    check.detail = "COM payload verified";
    return check;
}

PayloadCheck ClassifyLegacyVsto(PayloadCheck check, const FileOnDiskFn& fileOnDisk,
                                const std::set<std::string>& listedVsto, const std::string* criticalFailure) {
    for (const char* name : kVstoNames) {
        if (listedVsto.count(name) == 0 || !fileOnDisk(name)) {
            return Invalid(check, "VSTO 安装包缺少三件套完整组件（.vsto / .dll / .dll.manifest 或 Library.dll）。");
        }
    }
    if (!check.libraryListed || !check.libraryOnDisk) {
        return Invalid(check, "VSTO 安装包缺少三件套完整组件（.vsto / .dll / .dll.manifest 或 Library.dll）。");
    }
    if (criticalFailure != nullptr) return Invalid(check, "VSTO 安装包关键文件下载校验失败：" + *criticalFailure);
    check.mode = PayloadMode::LegacyVsto;
    check.detail = "Legacy VSTO payload verified";
    return check;
}

}  // namespace

const char* PayloadModeName(PayloadMode mode) {
    switch (mode) {
        case PayloadMode::Com:
            return "com";
        case PayloadMode::LegacyVsto:
            return "legacy-vsto";
        case PayloadMode::InvalidCom:
            break;
    }
    return "invalid-com";
}

bool IsCriticalPayloadFile(const std::string& path, bool net48Installed) {
    std::string name = TopLevelName(path);
    if (name == kWebView2SetupName) return false;
    if (net48Installed && name == kNet48SetupName) return false;
    std::string lower = Lower(path);
    for (const char* extension : kCriticalExtensions) {
        if (EndsWith(lower, extension)) return true;
    }
    return false;
}

PayloadCheck ClassifyPayloadWith(const std::vector<std::string>& manifestPaths, const FileOnDiskFn& fileOnDisk,
                                 bool is64BitWindows, const std::vector<std::string>& failedPaths,
                                 bool net48Installed) {
    const std::string* criticalFailure = nullptr;
    std::set<std::string> failedNames;
    for (const std::string& failed : failedPaths) {
        if (criticalFailure == nullptr && IsCriticalPayloadFile(failed, net48Installed)) criticalFailure = &failed;
        std::string name = TopLevelName(failed);
        if (!name.empty()) failedNames.insert(name);
    }
    PayloadCheck check;
    std::set<std::string> listedVsto;
    for (const std::string& path : manifestPaths) {
        std::string name = TopLevelName(path);
        if (!name.empty()) MarkListed(check, name, listedVsto);
    }
    ReadOnDisk(check, fileOnDisk);
    if (check.coreListed || check.core32Listed || check.core64Listed) {
        return ClassifyCom(check, is64BitWindows, criticalFailure, failedNames);
    }
    if (!check.vstoListed) return Invalid(check, "安装清单中既未包含核心组件文件，也未包含 VSTO 清单文件。");
    return ClassifyLegacyVsto(check, fileOnDisk, listedVsto, criticalFailure);
}

bool PeMachineMatchesWith(const ReadAtFn& readAt, uint16_t machine) {
    unsigned char dos[64];
    if (!readAt(0, sizeof dos, dos)) return false;
    if (dos[0] != 'M' || dos[1] != 'Z') return false;
    uint32_t peOffset = static_cast<uint32_t>(dos[60]) | static_cast<uint32_t>(dos[61]) << 8 |
                        static_cast<uint32_t>(dos[62]) << 16 | static_cast<uint32_t>(dos[63]) << 24;
    if (peOffset < 64 || peOffset > 1048575) return false;
    unsigned char headers[24];  // signature, then the 20-byte file header
    if (!readAt(peOffset, sizeof headers, headers)) return false;
    if (headers[0] != 'P' || headers[1] != 'E' || headers[2] != 0 || headers[3] != 0) return false;
    uint16_t found = static_cast<uint16_t>(headers[4] | headers[5] << 8);
    return found == machine;
}

}  // namespace quilmo
