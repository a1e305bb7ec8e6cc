// Fetching the release manifest with its detached signature.
#pragma once

#include <string>

namespace quilmo {

// On success the verified manifest bytes; on failure a user-facing message.
bool FetchManifest(std::string& manifest, std::string& message);

}  // namespace quilmo
