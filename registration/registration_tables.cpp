#include "registration/registration_tables.h"

namespace quilmo {

std::wstring ComClassKeyPath(const wchar_t* clsid) { return std::wstring(L"Software\\Classes\\CLSID\\") + clsid; }

std::wstring ProgIdKeyPath(const wchar_t* progId) { return std::wstring(L"Software\\Classes\\") + progId; }

std::wstring OfficeAddinKeyPath(const wchar_t* officeHost, const wchar_t* addinName) {
    return std::wstring(L"SOFTWARE\\Microsoft\\Office\\") + officeHost + L"\\Addins\\" + addinName;
}

std::wstring WpsAllowListKeyPath(const wchar_t* wpsHost) {
    return std::wstring(L"SOFTWARE\\Kingsoft\\Office\\") + wpsHost + L"\\AddinsWL";
}

}  // namespace quilmo
