// Well-known places of the product on this machine.
#pragma once

#include <string>

namespace quilmo {

// The roaming application-data folder followed by "\QuilmoStudio\Quilmo2025\".
// It is both the default install base and the home of the log.
std::wstring ProductDataFolder();

}  // namespace quilmo
