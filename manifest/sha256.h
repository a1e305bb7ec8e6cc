// SHA-256 digests as the manifest writes them: 64 lower-case hex digits.
#pragma once

#include <string>

namespace quilmo {

// Empty when the system cannot compute the digest.
std::string Sha256OfBytes(const std::string& bytes);

}  // namespace quilmo
