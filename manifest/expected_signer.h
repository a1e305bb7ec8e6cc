// Who must have signed what the installer accepts: the manifest, the
// post-migration program.
#pragma once

#include <string>

namespace quilmo {

struct ExpectedSigner {
    std::wstring publisherName;  // required subject common name; empty: any
    std::string pinnedKeyHash;   // SHA-256 of the signer's public key bits, 64 hex; empty: no pin
    bool pinIsSufficient = false;  // the pinned key is trusted without a chain
};

extern const wchar_t kPublisherName[];  // "奎墨软件有限公司"

}  // namespace quilmo
