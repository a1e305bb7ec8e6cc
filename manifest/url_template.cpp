#include "manifest/url_template.h"

#include <cstdlib>
#include <utility>

#include "manifest/manifest_reader.h"

namespace quilmo {

namespace {

// Replaces each occurrence of placeholder from the left, taking the value
// from nextValue. The search resumes after the inserted text, so a value
// that itself contains the placeholder cannot make the loop run forever.
template <typename NextValue>
void ReplaceEach(std::string& text, const std::string& placeholder, NextValue nextValue) {
    std::string::size_type pos = text.find(placeholder);
    while (pos != std::string::npos) {
        const std::string value = nextValue();
        text.replace(pos, placeholder.size(), value);
        pos = text.find(placeholder, pos + value.size());
    }
}

std::string RandomNumber() { return std::to_string(std::rand()); }

std::string WithoutTrailingSlashes(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

std::string ToLowerHex(std::string hex) {
    for (char& c : hex) {
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    }
    return hex;
}

}  // namespace

std::string ExpandUrlTemplate(const std::string& urlTemplate, const std::string& version,
                              const std::string& downloadBaseUrl) {
    std::string url = urlTemplate;
    ReplaceEach(url, "[host]", [&] { return downloadBaseUrl; });
    ReplaceEach(url, "[vision]", [&] { return version; });
    ReplaceEach(url, "[rand]", RandomNumber);
    // Release tooling on Windows writes some templates with backslashes.
    for (char& c : url) {
        if (c == '\\') c = '/';
    }
    return url;
}

std::string ManifestUrl(const std::string& downloadBaseUrl) {
    return ExpandUrlTemplate(downloadBaseUrl + "install.json?[rand]", "", downloadBaseUrl);
}

std::vector<std::string> SignatureUrls(const std::string& signatureBaseUrl, const std::string& manifestSha256Hex) {
    const std::string base = WithoutTrailingSlashes(signatureBaseUrl);
    std::vector<std::string> urls;
    // The digest-named copy cannot be swapped for another release's signature
    // by a cache, so it is tried first.
    if (IsSha256Hex(manifestSha256Hex)) {
        urls.push_back(base + "/manifest-sigs/" + ToLowerHex(manifestSha256Hex) + ".sig");
    }
    urls.push_back(base + "/install.json.sig?" + RandomNumber());
    return urls;
}

}  // namespace quilmo
