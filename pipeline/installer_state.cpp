#include "pipeline/installer_state.h"

namespace quilmo {

const wchar_t kProductDisplayName[] = L"奎墨";
const wchar_t kTagline[] = L"墨韵随心办公";

InstallerState& State() {
    static InstallerState state;
    return state;
}

}  // namespace quilmo
