// Version texts as releases carry them: up to four numeric components and an
// optional pre-release part ("1.2.0-rc.1"). Plain byte-string logic.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quilmo {

struct ParsedVersion {
    int components[4] = {0, 0, 0, 0};  // missing ones are 0
    int componentCount = 0;            // 1 to 4 given
    bool hasPreRelease = false;
    std::vector<std::string> preRelease;
};

std::optional<ParsedVersion> ParseVersion(const std::string& text);

// -1, 0 or 1 for first less than, equal to or greater than second; nothing
// when either text is not a version.
std::optional<int> CompareVersions(const std::string& first, const std::string& second);

}  // namespace quilmo
