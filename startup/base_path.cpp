#include "startup/base_path.h"

#include "files/text_encoding.h"
#include "registration/installed_version.h"
#include "startup/paths.h"

namespace quilmo {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string StripTrailingSeparators(std::string path) {
    while (!path.empty() && IsSeparator(path.back())) path.pop_back();
    return path;
}

std::string LastComponent(const std::string& directory) {
    std::string stripped = StripTrailingSeparators(directory);
    size_t at = stripped.find_last_of("\\/");
    return at == std::string::npos ? stripped : stripped.substr(at + 1);
}

std::string ParentOf(const std::string& directory) {
    std::string stripped = StripTrailingSeparators(directory);
    size_t at = stripped.find_last_of("\\/");
    return at == std::string::npos ? std::string() : stripped.substr(0, at + 1);
}

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (AsciiLower(text[i]) != AsciiLower(prefix[i])) return false;
    }
    return true;
}

// This installer puts each version in "<base>\<version>" or, when that is
// taken, "<base>\<version>_<suffix>".
bool IsPerVersionDirectory(const std::string& directory, const std::string& version) {
    if (version.empty()) return false;
    std::string name = LastComponent(directory);
    if (!StartsWithNoCase(name, version)) return false;
    return name.size() == version.size() || name[version.size()] == '_';
}

std::string WithTrailingSeparator(std::string path) {
    if (path.empty() || !IsSeparator(path.back())) path += '\\';
    return path;
}

}  // namespace

BasePathChoice ChooseBasePath(const BasePathInputs& inputs) {
    BasePathChoice choice;
    choice.existingInstall = inputs.installFound || !inputs.installedDirectory.empty();
    std::string base;
    if (!inputs.savedBaseLocation.empty()) {
        base = inputs.savedBaseLocation;
    } else if (!choice.existingInstall || inputs.installedDirectory.empty()) {
        base = inputs.defaultBase;
    } else if (IsPerVersionDirectory(inputs.installedDirectory, inputs.installedVersion) &&
               !ParentOf(inputs.installedDirectory).empty()) {
        base = ParentOf(inputs.installedDirectory);
    } else {
        base = inputs.installedDirectory;
    }
    choice.basePath = WithTrailingSeparator(base);
    return choice;
}

StartupBase ChooseStartupBase() {
    InstalledVersion installed = FindInstalledVersion();
    BasePathInputs inputs;
    inputs.installFound = installed.found;
    inputs.installedVersion = installed.version;
    inputs.installedDirectory = installed.directory;
    inputs.savedBaseLocation = ReadInstallBaseLocation();
    inputs.defaultBase = WideToUtf8(ProductDataFolder());
    return StartupBase{ChooseBasePath(inputs), installed.version};
}

}  // namespace quilmo
