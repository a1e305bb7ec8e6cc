#include "support/legacy_registry.h"

#include "files/unique_handle.h"
#include "registration/registration_tables.h"
#include "registration/registration_target.h"
#include "support/registry_fixture.h"

namespace quilmo {
namespace testing_support {

namespace {

constexpr wchar_t kOtherAddin[] = L"OtherVendor.Addin";
constexpr wchar_t kOtherUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OtherProduct";
constexpr wchar_t kOtherProgId[] = L"OtherVendor.Document";
constexpr wchar_t kOfficeTop[] = L"SOFTWARE\\Microsoft\\Office";
constexpr wchar_t kKingsoftTop[] = L"SOFTWARE\\Kingsoft";

void SetString(const Place& at, const std::wstring& path, const wchar_t* name, const std::wstring& text) {
    SetRawString(at.hive, at.Path(path), name == nullptr ? L"" : name, text, at.view);
}

void SetDword(const Place& at, const std::wstring& path, const wchar_t* name, DWORD value) {
    SetRawDword(at.hive, at.Path(path), name, value, at.view);
}

void DeleteTree(const Place& at, const std::wstring& path) {
    UniqueRegKey key;
    if (RegOpenKeyExW(at.hive, at.Path(path).c_str(), 0, KEY_ALL_ACCESS | at.view, key.put()) != ERROR_SUCCESS) {
        return;
    }
    RegDeleteTreeW(key.get(), nullptr);
    key.reset();
    RegDeleteKeyExW(at.hive, at.Path(path).c_str(), at.view, 0);
}

void DeleteValue(const Place& at, const std::wstring& path, const wchar_t* name) {
    UniqueRegKey key;
    if (RegOpenKeyExW(at.hive, at.Path(path).c_str(), 0, KEY_SET_VALUE | at.view, key.put()) != ERROR_SUCCESS) return;
    RegDeleteValueW(key.get(), name);
}

bool KeyExists(const Place& at, const std::wstring& path) {
    UniqueRegKey key;
    return RegOpenKeyExW(at.hive, at.Path(path).c_str(), 0, KEY_READ | at.view, key.put()) == ERROR_SUCCESS;
}

// An old add-in key as the old installers left it: values and a sub-key.
void PopulateAddinKey(const Place& at, const std::wstring& path) {
    SetString(at, path, L"FriendlyName", L"奎墨");
    SetString(at, path, L"Manifest", L"file:///C:/Old/Quilmo.vsto|vstolocal");
    SetDword(at, path, L"LoadBehavior", 3);
    SetString(at, path + L"\\Settings", L"Pane", L"left");
}

std::vector<std::wstring> AllowListKeys() {
    std::vector<std::wstring> keys;
    for (const wchar_t* wps : WpsHostNames) keys.push_back(WpsAllowListKeyPath(wps));
    return keys;
}

std::vector<std::wstring> FixtureKeys() {
    std::vector<std::wstring> keys;
    for (const LegacyVstoHostEntry& row : LegacyVstoHost)
        keys.push_back(OfficeAddinKeyPath(row.officeHost, row.addinName));
    for (const wchar_t* office : OfficeHostNames) {
        for (const wchar_t* progId : LegacyProgIds) keys.push_back(OfficeAddinKeyPath(office, progId));
        keys.push_back(OfficeAddinKeyPath(office, kOtherAddin));
    }
    for (const wchar_t* progId : LegacyComProgIds) keys.push_back(ProgIdKeyPath(progId));
    keys.push_back(kLegacyUninstallKey);
    for (const ComClass& c : ComClassTable) {
        keys.push_back(ComClassKeyPath(c.clsid));
        keys.push_back(ProgIdKeyPath(c.progId));
        if (c.officeHost != nullptr) keys.push_back(OfficeAddinKeyPath(c.officeHost, c.progId));
    }
    keys.push_back(kOtherUninstall);
    keys.push_back(ProgIdKeyPath(kOtherProgId));
    return keys;
}

}  // namespace

std::vector<REGSAM> MachineViews() {
    if (IsCurrentProcessWow64()) return {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
    return {0};
}

std::vector<Place> MachinePlaces() {
    std::vector<Place> places;
    for (REGSAM view : MachineViews()) places.push_back(Place{HKEY_LOCAL_MACHINE, view, L""});
    return places;
}

void PopulateLegacy(const Place& at) {
    for (const LegacyVstoHostEntry& row : LegacyVstoHost) {
        PopulateAddinKey(at, OfficeAddinKeyPath(row.officeHost, row.addinName));
        SetString(at, WpsAllowListKeyPath(row.wpsHost), row.addinName, L"");
    }
    for (const wchar_t* office : OfficeHostNames) {
        for (const wchar_t* progId : LegacyProgIds) PopulateAddinKey(at, OfficeAddinKeyPath(office, progId));
    }
    for (const wchar_t* wps : WpsHostNames) {
        for (const wchar_t* progId : LegacyProgIds) SetString(at, WpsAllowListKeyPath(wps), progId, L"1");
    }
    for (const wchar_t* progId : LegacyComProgIds) {
        SetString(at, ProgIdKeyPath(progId), nullptr, progId);
        SetString(at, ProgIdKeyPath(progId) + L"\\CLSID", nullptr, L"{00000000-0000-0000-0000-000000002024}");
    }
    SetString(at, kLegacyUninstallKey, L"DisplayName", L"奎墨 2024");
    SetString(at, kLegacyUninstallKey, L"UninstallString", L"C:\\Old\\_uninstall.bat");
}

void PopulateCurrentCom(const Place& at) {
    for (const ComClass& c : ComClassTable) {
        const std::wstring classKey = ComClassKeyPath(c.clsid);
        SetString(at, classKey, nullptr, c.friendlyName);
        SetString(at, classKey + L"\\InprocServer32", nullptr, L"C:\\Quilmo\\3.0.0\\ZUDodi32.dll");
        SetString(at, classKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
        SetString(at, classKey + L"\\ProgID", nullptr, c.progId);
        if (c.isControl) SetString(at, classKey + L"\\Control", nullptr, L"");
        SetString(at, ProgIdKeyPath(c.progId), nullptr, c.friendlyName);
        SetString(at, ProgIdKeyPath(c.progId) + L"\\CLSID", nullptr, c.clsid);
        if (c.officeHost != nullptr) PopulateAddinKey(at, OfficeAddinKeyPath(c.officeHost, c.progId));
        if (c.wpsHost != nullptr) SetString(at, WpsAllowListKeyPath(c.wpsHost), c.progId, L"");
    }
}

void PopulateNeighbours(const Place& at) {
    for (const wchar_t* office : OfficeHostNames) PopulateAddinKey(at, OfficeAddinKeyPath(office, kOtherAddin));
    for (const std::wstring& allowList : AllowListKeys()) SetString(at, allowList, kOtherAddin, L"");
    SetString(at, kOtherUninstall, L"DisplayName", L"Other Product");
    SetString(at, ProgIdKeyPath(kOtherProgId), nullptr, L"Other document");
}

std::vector<DumpRoot> FixtureRoots(const Place& at) {
    std::vector<DumpRoot> roots;
    for (const std::wstring& key : FixtureKeys()) roots.push_back(DumpRoot{at.hive, at.Path(key), at.view});
    for (const std::wstring& key : AllowListKeys()) roots.push_back(DumpRoot{at.hive, at.Path(key), at.view});
    return roots;
}

std::vector<DumpRoot> FixtureRoots(const std::vector<Place>& places) {
    std::vector<DumpRoot> roots;
    for (const Place& at : places) {
        std::vector<DumpRoot> more = FixtureRoots(at);
        roots.insert(roots.end(), more.begin(), more.end());
    }
    return roots;
}

FixtureGuard::FixtureGuard(std::vector<Place> places) : places_(std::move(places)) {
    for (const Place& at : places_) {
        officeExisted_.push_back(KeyExists(at, kOfficeTop));
        kingsoftExisted_.push_back(KeyExists(at, kKingsoftTop));
    }
    RemoveFixture();
}

FixtureGuard::~FixtureGuard() {
    RemoveFixture();
    for (size_t i = 0; i < places_.size(); ++i) {
        if (!officeExisted_[i]) DeleteTree(places_[i], kOfficeTop);
        if (!kingsoftExisted_[i]) DeleteTree(places_[i], kKingsoftTop);
    }
}

void FixtureGuard::RemoveFixture() const {
    for (const Place& at : places_) {
        for (const std::wstring& key : FixtureKeys()) DeleteTree(at, key);
        for (const std::wstring& allowList : AllowListKeys()) {
            for (const LegacyVstoHostEntry& row : LegacyVstoHost) DeleteValue(at, allowList, row.addinName);
            for (const wchar_t* progId : LegacyProgIds) DeleteValue(at, allowList, progId);
            for (const ComClass& c : ComClassTable) DeleteValue(at, allowList, c.progId);
            DeleteValue(at, allowList, kOtherAddin);
        }
    }
}

}  // namespace testing_support
}  // namespace quilmo
