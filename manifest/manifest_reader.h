// Reading values out of a manifest text.
#pragma once

#include <string>

namespace quilmo {

// The string value of a top-level key; empty when absent.
std::string GetManifestValue(const std::string& manifest, const std::string& key);

}  // namespace quilmo
