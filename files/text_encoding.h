// The one pair of conversions between the UTF-8 strings used inside the
// installer and the UTF-16 strings every Win32 call takes. Always UTF-8,
// never the ANSI code page, so Chinese paths survive on any system locale.
#pragma once

#include <string>

namespace quilmo {

std::wstring Utf8ToWide(const std::string& utf8);
std::string WideToUtf8(const std::wstring& wide);

}  // namespace quilmo
