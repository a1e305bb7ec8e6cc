// CryptoAPI declarations for a delay-loaded crypt32: mingw declares them
// dllimport, which on x86 makes calls jump through an import slot that only
// the loader fills, past the delay-load stubs. Include this, never
// <wincrypt.h> directly.
#pragma once

#include <windows.h>

#pragma push_macro("DECLSPEC_IMPORT")
#undef DECLSPEC_IMPORT
#define DECLSPEC_IMPORT
#include <wincrypt.h>
#pragma pop_macro("DECLSPEC_IMPORT")
