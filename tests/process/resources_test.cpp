// What the built executable carries: logo, icon, version and the manifest
// that decides its execution level, DPI awareness and supported systems.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "files/unique_handle.h"
#include "support/setup_process.h"

namespace quilmo::test {
namespace {

class SetupResources : public testing::Test {
protected:
    void SetUp() override {
        module_.reset(LoadLibraryExW(SetupExePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
        ASSERT_TRUE(module_.valid()) << "cannot open the installer: " << GetLastError();
    }

    std::string Resource(LPCWSTR type, LPCWSTR name) {
        HRSRC found = FindResourceW(module_.get(), name, type);
        if (found == nullptr) return std::string();
        HGLOBAL loaded = LoadResource(module_.get(), found);
        const char* bytes = static_cast<const char*>(LockResource(loaded));
        return bytes ? std::string(bytes, SizeofResource(module_.get(), found)) : std::string();
    }

    UniqueModule module_;
};

TEST_F(SetupResources, LogoIsAPngAndIconGroupExists) {
    std::string logo = Resource(MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(102));
    ASSERT_GT(logo.size(), 8u);
    EXPECT_EQ(logo.substr(0, 8), "\x89PNG\r\n\x1A\n");
    std::string iconGroup = Resource(MAKEINTRESOURCEW(14), MAKEINTRESOURCEW(101));
    ASSERT_GE(iconGroup.size(), 6u);
    EXPECT_GE(static_cast<unsigned char>(iconGroup[4]), 1);  // at least one image
}

TEST_F(SetupResources, ManifestAsksNothingAndDeclaresDpiAndSystems) {
    std::string manifest = Resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
    ASSERT_FALSE(manifest.empty());
    for (const char* expected :
         {"level=\"asInvoker\"", "<dpiAware", ">true</dpiAware>", ">PerMonitorV2</dpiAwareness>",
          "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
          "name=\"Quilmo.Installer\" version=\"1.0.0.0\"",
          "<description>\xE5\xA5\x8E\xE5\xA2\xA8\xE5\xAE\x89\xE8\xA3\x85\xE7\xA8\x8B\xE5\xBA\x8F</description>",
          "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
          "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}) {
        EXPECT_NE(manifest.find(expected), std::string::npos) << expected;
    }
}

TEST_F(SetupResources, VersionResourceNamesTheProduct) {
    std::wstring path = SetupExePath();
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::string block(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, &block[0]));
    wchar_t* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\StringFileInfo\\080404b0\\OriginalFilename",
                               reinterpret_cast<void**>(&value), &length));
    EXPECT_STREQ(value, L"QuilmoSetup.exe");
    VS_FIXEDFILEINFO* fixed = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
}

}  // namespace
}  // namespace quilmo::test
