// Registry fixtures for the cleanup tests: every older generation's entry,
// the current COM registration and other vendors' neighbouring entries,
// written with plain registry calls at the real key paths of a hive and view,
// and a guard that leaves the prefix's hives as the test found them.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/registry_dump.h"

namespace quilmo {
namespace testing_support {

// A hive and view the fixture writes at; root prefixes every path (empty for
// the real places).
struct Place {
    HKEY hive = nullptr;
    REGSAM view = 0;
    std::wstring root;
    std::wstring Path(const std::wstring& path) const { return root.empty() ? path : root + L"\\" + path; }
};

// The views a 32-bit process sees the machine hive in on this Windows: the
// 32-bit and 64-bit views under WoW64, the one view (0) otherwise.
std::vector<REGSAM> MachineViews();
std::vector<Place> MachinePlaces();

// Every legacy entry: the VSTO add-in keys and allow-list values, the 18
// legacy Office keys (with a value and a sub-key each), the 18 legacy WPS
// values, the legacy COM ProgID keys and the legacy Uninstall entry.
void PopulateLegacy(const Place& at);
// The current COM classes, ProgIDs, Office keys and allow-list values.
void PopulateCurrentCom(const Place& at);
// What must survive: another vendor's add-in key under every "Addins" key,
// another value in every "AddinsWL" key, another product's Uninstall entry
// and another ProgID.
void PopulateNeighbours(const Place& at);

// Every key and allow-list key the fixture writes at a place, whole: the
// trees a cleanup may change, for byte-identical comparisons.
std::vector<DumpRoot> FixtureRoots(const Place& at);
std::vector<DumpRoot> FixtureRoots(const std::vector<Place>& places);

// Removes everything the fixture may have written at the places, before the
// test (in case an earlier run was cut short) and after it; a top key the
// fixture created ("SOFTWARE\Kingsoft", "SOFTWARE\Microsoft\Office") goes
// too when it was not there at the start.
class FixtureGuard {
public:
    explicit FixtureGuard(std::vector<Place> places);
    ~FixtureGuard();
    FixtureGuard(const FixtureGuard&) = delete;
    FixtureGuard& operator=(const FixtureGuard&) = delete;

private:
    void RemoveFixture() const;
    std::vector<Place> places_;
    std::vector<bool> officeExisted_;
    std::vector<bool> kingsoftExisted_;
};

}  // namespace testing_support
}  // namespace quilmo
