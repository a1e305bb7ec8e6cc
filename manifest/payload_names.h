// Names of payload files as the release lists them. Plain byte logic.
#pragma once

#include <string>

namespace quilmo {

// The lower-case file name of a manifest path that names a file directly in
// the install directory (".\" and leading separators or blanks ignored);
// empty for anything deeper, and for "", "." and "..".
std::string TopLevelName(const std::string& path);

extern const char kNet48SetupName[];     // "ndp48-web.exe"
extern const char kWebView2SetupName[];  // "microsoftedgewebview2setup.exe"

}  // namespace quilmo
