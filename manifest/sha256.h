// SHA-256 digests through the system's CryptoAPI: 64 hexadecimal digits,
// or empty on any failure.
#pragma once

#include <windows.h>

#include <string>

namespace quilmo {

// Lower-case digits; the file is read with others allowed to read it too.
std::string Sha256OfFile(const std::wstring& path);

// Lower-case digits. Reads from the start and leaves the file pointer at the
// start again, so the caller can go on using the same open handle.
std::string Sha256OfHandle(HANDLE file);

// Upper-case digits; empty input gives an empty result (there is nothing a
// caller could pin or compare it against).
std::string Sha256OfBytes(const std::string& bytes);

}  // namespace quilmo
