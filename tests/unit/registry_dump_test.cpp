// The tests' registry dump must tell apart every state a rollback could get
// wrong, or a "byte-identical" assertion would pass on a wrong registry.
#include "support/registry_dump.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/registry_fixture.h"
#include "support/scratch_registry.h"

namespace quilmo {
namespace {

using namespace testing_support;

TEST(RegistryDump, TellsApartEveryStateARollbackCouldGetWrong) {
    ScratchKey scratch(CurrentTestName());
    HKEY hive = scratch.get();
    const std::wstring key = L"A\\B";
    auto dump = [&] { return DumpRegistry({{hive, key, 0}, {hive, L"Other", 0}}); };
    std::vector<RegistryDump> states;
    states.push_back(dump());  // missing
    ASSERT_EQ(CreateRawKey(hive, key), ERROR_SUCCESS);
    states.push_back(dump());  // empty key
    ASSERT_EQ(SetRawValue(hive, key, L"", REG_SZ, nullptr, 0), ERROR_SUCCESS);
    states.push_back(dump());  // empty default value
    ASSERT_EQ(SetRawValue(hive, key, L"", REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    states.push_back(dump());  // same bytes, other type
    ASSERT_EQ(SetRawValue(hive, key, L"", REG_BINARY, "\0", 1), ERROR_SUCCESS);
    states.push_back(dump());  // one more byte
    ASSERT_EQ(CreateRawKey(hive, key + L"\\子键"), ERROR_SUCCESS);
    states.push_back(dump());  // an empty sub-key
    ASSERT_EQ(SetRawString(hive, L"Other", L"v", L"x"), ERROR_SUCCESS);
    states.push_back(dump());  // a change in the second tree
    for (size_t i = 0; i < states.size(); ++i) {
        for (size_t j = i + 1; j < states.size(); ++j) {
            EXPECT_FALSE(SameDump(states[i], states[j])) << i << " and " << j;
            EXPECT_FALSE(DumpDifferences(states[i], states[j]).empty()) << i << " and " << j;
        }
        EXPECT_TRUE(SameDump(states[i], states[i]));
    }
    EXPECT_EQ(states[0].entries.at(DumpKeyName(hive, key, 0)), "absent");
    EXPECT_EQ(states.back().entries.at(DumpValueName(hive, L"Other", 0, L"v")), DumpValueText(REG_SZ, L"x", 4));
    EXPECT_TRUE(SameDump(states.back(), dump()));

    // Differences name the entry and where long data starts to differ.
    RegistryDump longBefore = dump();
    std::vector<uint8_t> big(4096, 0);
    ASSERT_EQ(SetRawValue(hive, key, L"big", REG_BINARY, big.data(), big.size()), ERROR_SUCCESS);
    RegistryDump withBig = dump();
    big[3000] = 0xAB;
    ASSERT_EQ(SetRawValue(hive, key, L"big", REG_BINARY, big.data(), big.size()), ERROR_SUCCESS);
    std::vector<std::string> lines = DumpDifferences(withBig, dump());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("changed: "), std::string::npos);
    EXPECT_NE(lines[0].find("ab"), std::string::npos) << lines[0];
    EXPECT_EQ(DumpDifferences(longBefore, withBig)[0].rfind("only after: ", 0), 0u);
}

}  // namespace
}  // namespace quilmo
