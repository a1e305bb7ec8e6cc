#include "manifest/manifest_reader.h"

namespace quilmo {

// The manifest reader is not in place yet; no value is ever read, so nothing
// unverified can flow from here.
std::string GetManifestValue(const std::string&, const std::string&) { return std::string(); }

}  // namespace quilmo
