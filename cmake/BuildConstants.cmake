# Constants of the build: where the release comes from and whose signature it
# must carry. A release build and a test build differ only in these values.
set(QUILMO_DOWNLOAD_BASE_URL "https://download.quilmo.cn/" CACHE STRING
    "Download server origin: https://, host, one trailing slash, no path")
set(QUILMO_SIGNATURE_BASE_URL "https://download.quilmo.cn" CACHE STRING
    "Origin the manifest signatures are fetched from")
set(QUILMO_PINNED_KEY_SHA256 "9c1f6a0e4b7d2c38f5a1e6d90b3c7f24a8e5d1c6b0f39a72e4d8c15b6a0f3e97" CACHE STRING
    "SHA-256 of the publisher certificate's public key, 64 hexadecimal digits")
set(QUILMO_RELEASE_NOTES_URL "https://www.quilmo.cn/release-notes" CACHE STRING "Release-notes page")
set(QUILMO_AGREEMENT_URL "https://www.quilmo.cn/agreement" CACHE STRING "User-agreement page")
set(QUILMO_HOME_URL "https://www.quilmo.cn/" CACHE STRING "Web-site home written into the Uninstall entry")

# An https URL with nothing that could break out of a C string literal.
set(_quilmo_https_url "^https://[^ \t\"\\\\]+$")

function(quilmo_require_match name regex explanation)
    if(NOT "${${name}}" MATCHES "${regex}")
        message(FATAL_ERROR "${name} is \"${${name}}\": ${explanation}")
    endif()
endfunction()

quilmo_require_match(QUILMO_DOWNLOAD_BASE_URL "^https://[A-Za-z0-9.-]+(:[0-9]+)?/$"
    "it must be an https:// origin followed by exactly one slash, e.g. https://download.example.com/")
quilmo_require_match(QUILMO_SIGNATURE_BASE_URL "^https://[A-Za-z0-9.-]+(:[0-9]+)?/*$"
    "it must be an https:// origin, e.g. https://download.example.com")
quilmo_require_match(QUILMO_PINNED_KEY_SHA256 "^[0-9A-Fa-f]+$"
    "it must be 64 hexadecimal digits (the SHA-256 of the publisher's public key)")
string(LENGTH "${QUILMO_PINNED_KEY_SHA256}" _quilmo_pin_length)
if(NOT _quilmo_pin_length EQUAL 64)
    message(FATAL_ERROR "QUILMO_PINNED_KEY_SHA256 has ${_quilmo_pin_length} characters: it must be 64 hexadecimal digits")
endif()
foreach(page QUILMO_RELEASE_NOTES_URL QUILMO_AGREEMENT_URL QUILMO_HOME_URL)
    quilmo_require_match(${page} "${_quilmo_https_url}" "it must be an https:// URL without blanks or quotes")
endforeach()
string(TOLOWER "${QUILMO_PINNED_KEY_SHA256}" QUILMO_PINNED_KEY_SHA256_LOWER)

configure_file(${CMAKE_CURRENT_LIST_DIR}/build_constants.h.in ${CMAKE_BINARY_DIR}/generated/build_constants.h @ONLY)
