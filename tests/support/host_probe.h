// What Office and WPS would load: runs the host probe of tests/host in the
// test's prefix (host_probe32.exe / host_probe64.exe, built into
// BUILD/host next to the two tiny COM servers), and places those servers in
// an install directory as ZUDodi32.dll and REDero64.dll.
//
//   PlaceComServers(dir, true, true);                  // + Quilmo.Core.dll
//   ... register dir ...
//   HostProbeResult found = RunHostProbe(64, HostKind::Wps, L"ET", L"Quilmo2027.Excel");
//   EXPECT_EQ(found.exitCode, 0);  EXPECT_EQ(found.line, L"loaded " + dir + L"\\REDero64.dll");
//
// ExpectedLoad / EveryHostLoads cover the add-in's three document classes
// for both host families at once. The build folder can be moved with the
// environment variable QUILMO_HOST_DIR (a Unix path).
#pragma once

#include <string>
#include <vector>

namespace quilmo {
namespace testing_support {

enum class HostKind { Office, Wps };

struct HostProbeResult {
    int exitCode = -1;  // the probe's code (0 loaded, 2 not listed, ...); -1 when it could not run
    std::wstring line;  // its one output line, without the line break
};

// Windows path of BUILD/host.
std::wstring HostFixtureDir();

// bits is 32 or 64. host is the application key ("Word", "Excel",
// "PowerPoint" for Office; "WPS", "ET", "WPP" for WPS).
HostProbeResult RunHostProbe(int bits, HostKind kind, const std::wstring& host, const std::wstring& progId);

// Copies the servers asked for into dir and writes a small Quilmo.Core.dll
// there (the registration only checks that it exists). True when all landed.
bool PlaceComServers(const std::wstring& dir, bool with32, bool with64);

// One probe run per host application of the add-in's document classes,
// for both Office and WPS: six results, each "host kind/app: code line".
std::vector<std::wstring> ProbeEveryHost(int bits);

// The lines ProbeEveryHost gives when every host loads dllPath, or, with
// an empty dllPath, when no host lists the add-in at all.
std::vector<std::wstring> ExpectedEveryHost(const std::wstring& dllPath);

}  // namespace testing_support
}  // namespace quilmo
