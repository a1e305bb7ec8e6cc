// The one place the add-in's class identifiers, host names, legacy add-in
// names and registry key paths are spelled. Everything else asks here.
#pragma once

#include <array>
#include <string>

namespace quilmo {

struct ComClass {
    const wchar_t* clsid;  // with braces
    const wchar_t* progId;
    const wchar_t* friendlyName;
    const wchar_t* officeHost;  // Office application key name, nullptr for none
    const wchar_t* wpsHost;     // WPS application key name, nullptr for none
    bool isControl;             // the ActiveX control hosting the task panes
};

inline constexpr std::array<ComClass, 4> ComClassTable = {{
    {L"{B4C10001-6B4F-4E2A-9D31-8A7F2E10C001}", L"Quilmo2027.Word", L"Quilmo Word Add-in", L"Word", L"WPS", false},
    {L"{B4C10002-6B4F-4E2A-9D31-8A7F2E10C002}", L"Quilmo2027.Excel", L"Quilmo Excel Add-in", L"Excel", L"ET", false},
    {L"{B4C10003-6B4F-4E2A-9D31-8A7F2E10C003}", L"Quilmo2027.PPT", L"Quilmo PPT Add-in", L"PowerPoint", L"WPP",
     false},
    {L"{B4C10010-6B4F-4E2A-9D31-8A7F2E10C010}", L"Quilmo2027.TaskPaneHost", L"Quilmo TaskPane Host", nullptr,
     nullptr, true},
}};

// Position i of one list is the same kind of document as position i of the other.
inline constexpr std::array<const wchar_t*, 3> OfficeHostNames = {{L"Word", L"Excel", L"PowerPoint"}};
inline constexpr std::array<const wchar_t*, 3> WpsHostNames = {{L"WPS", L"ET", L"WPP"}};

// The VSTO add-in of the previous product generation.
struct LegacyVstoHostEntry {
    const wchar_t* shortName;
    const wchar_t* officeHost;
    const wchar_t* wpsHost;
    const wchar_t* addinName;  // "Quilmo2025." + shortName
};

inline constexpr std::array<LegacyVstoHostEntry, 3> LegacyVstoHost = {{
    {L"Word", L"Word", L"WPS", L"Quilmo2025.Word"},
    {L"Excel", L"Excel", L"ET", L"Quilmo2025.Excel"},
    {L"PPT", L"PowerPoint", L"WPP", L"Quilmo2025.PPT"},
}};

inline constexpr std::array<const wchar_t*, 6> LegacyProgIds = {
    {L"Quilmo.Word", L"Quilmo.Excel", L"Quilmo.PPT", L"Quilmo2024.Word", L"Quilmo2024.Excel", L"Quilmo2024.PPT"}};
// The legacy ProgIDs that were COM add-ins: the first three above.
inline constexpr std::array<const wchar_t*, 3> LegacyComProgIds = {
    {LegacyProgIds[0], LegacyProgIds[1], LegacyProgIds[2]}};

// Key paths, relative to a location's root.
inline constexpr wchar_t kQuilmoCoreKey[] = L"Software\\QuilmoStudio\\QuilmoCore";
inline constexpr wchar_t kManagedDirValue[] = L"ManagedDir";
inline constexpr wchar_t kSavedVstoLoadBehaviorKey[] = L"Software\\QuilmoStudio\\QuilmoCore\\SavedVstoLoadBehavior";
inline constexpr wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quilmo2025";
inline constexpr wchar_t kLegacyUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Quilmo";

std::wstring ComClassKeyPath(const wchar_t* clsid);     // "Software\Classes\CLSID\" + clsid
std::wstring ProgIdKeyPath(const wchar_t* progId);      // "Software\Classes\" + progId
std::wstring OfficeAddinKeyPath(const wchar_t* officeHost, const wchar_t* addinName);
std::wstring WpsAllowListKeyPath(const wchar_t* wpsHost);  // one value per add-in

}  // namespace quilmo
