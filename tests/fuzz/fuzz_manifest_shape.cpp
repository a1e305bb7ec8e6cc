// Any downloaded body goes through the shape check before anything else.
#include <cstddef>
#include <cstdint>
#include <string>

#include "manifest/manifest_shape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    const bool shaped = quilmo::HasManifestShape(body);
    // A server may add a line break at the end; that must not change the verdict.
    if (quilmo::HasManifestShape(body + "\r\n") != shaped) __builtin_trap();
    return 0;
}
