// A cheap look at a downloaded body before it is treated as a manifest.
#pragma once

#include <string>

namespace quilmo {

// True when the body looks like a release manifest: one JSON object (after an
// optional UTF-8 byte-order mark and blanks) whose "Files" (or, failing that,
// "files") key opens a non-empty list of objects that closes inside it. An
// error page or a truncated download fails here; nothing is parsed.
bool HasManifestShape(const std::string& body);

}  // namespace quilmo
