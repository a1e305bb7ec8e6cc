// Whether this is Windows 8.1 or later: older systems may lack the TLS
// versions and root certificates that newer ones have, and get a few
// narrowly bounded allowances for that.
#pragma once

namespace quilmo {

bool IsWindows81OrLater();

// The running Windows is at least major.minor (service packs not asked).
bool IsWindowsVersionOrLater(unsigned major, unsigned minor);

}  // namespace quilmo
