// The version text rule and the reading of "app.version". Plain byte logic:
// no Windows headers, so it also builds natively for fuzzing.
#pragma once

#include <string>

namespace quilmo {

// 8 to 48 bytes: "year.month.day[.build]" with an optional "-suffix" made of
// dot-separated identifiers of ASCII letters, digits and "-".
bool IsValidVersion(const std::string& text);

// The first line of an "app.version" file: a UTF-8 byte-order mark dropped,
// cut at the first CR or LF, spaces and tabs trimmed from both ends.
std::string FirstLineOfVersionFile(const std::string& bytes);

}  // namespace quilmo
