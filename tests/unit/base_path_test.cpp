#include "startup/base_path.h"

#include <gtest/gtest.h>

namespace quilmo {
namespace {

const char kDefault[] = "C:\\Users\\u\\AppData\\Roaming\\QuilmoStudio\\Quilmo2025\\";

struct BaseCase {
    const char* name;
    bool found;
    const char* version;
    const char* directory;
    const char* saved;
    const char* expectedBase;
    bool expectedExisting;
};

class BasePathTable : public testing::TestWithParam<BaseCase> {};

TEST_P(BasePathTable, ChoosesBase) {
    const BaseCase& c = GetParam();
    BasePathInputs inputs;
    inputs.installFound = c.found;
    inputs.installedVersion = c.version;
    inputs.installedDirectory = c.directory;
    inputs.savedBaseLocation = c.saved;
    inputs.defaultBase = kDefault;
    BasePathChoice choice = ChooseBasePath(inputs);
    EXPECT_EQ(choice.basePath, c.expectedBase);
    EXPECT_EQ(choice.existingInstall, c.expectedExisting);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BasePathTable,
    testing::Values(
        BaseCase{"NothingInstalled", false, "", "", "", kDefault, false},
        BaseCase{"SavedWinsOverVersionDir", true, "3.2.0", "D:\\Q\\3.2.0", "E:\\Saved", "E:\\Saved\\", true},
        BaseCase{"SavedWinsOverNothing", false, "", "", "E:\\Saved/", "E:\\Saved/", false},
        BaseCase{"VersionDirGivesParent", true, "3.2.0", "D:\\Q\\3.2.0", "", "D:\\Q\\", true},
        BaseCase{"VersionDirTrailingSlashes", true, "3.2.0", "D:\\Q\\3.2.0\\/", "", "D:\\Q\\", true},
        BaseCase{"VersionDirOtherCase", true, "v3.2.0-RC", "D:\\Q\\V3.2.0-rc", "", "D:\\Q\\", true},
        BaseCase{"VersionUnderscoreSuffix", true, "3.2.0", "D:\\Q\\3.2.0_a1b2", "", "D:\\Q\\", true},
        BaseCase{"VersionPrefixWithoutUnderscore", true, "3.2.0", "D:\\Q\\3.2.0x", "", "D:\\Q\\3.2.0x\\", true},
        BaseCase{"OtherNameIsTheBase", true, "3.2.0", "D:\\Apps\\Quilmo", "", "D:\\Apps\\Quilmo\\", true},
        BaseCase{"NoVersionKnown", true, "", "D:\\Q\\3.2.0", "", "D:\\Q\\3.2.0\\", true},
        BaseCase{"DirectoryWithoutProbe", false, "", "D:\\Q", "", "D:\\Q\\", true},
        BaseCase{"FoundWithoutDirectory", true, "3.2.0", "", "", kDefault, true},
        // A bare name has no parent: never fall back to a drive's root.
        BaseCase{"BareVersionNameKeptAsIs", true, "3.2.0", "3.2.0", "", "3.2.0\\", true}),
    [](const testing::TestParamInfo<BaseCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quilmo
