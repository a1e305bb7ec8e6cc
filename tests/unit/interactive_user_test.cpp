#include "probes/interactive_user.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include "files/unique_handle.h"

namespace quilmo {
namespace {

SidBytes SidFromText(const wchar_t* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidW(text, &sid)) return {};
    UniqueLocalMemory owned(sid);
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return SidBytes(bytes, bytes + GetLengthSid(sid));
}

struct FakeUser {
    bool known;
    SidBytes sid;
    std::string account;
};

// Lookups that answer with fixed users and record the session asked about.
UserLookups Lookups(const FakeUser& process, const FakeUser& interactive, DWORD* askedSession) {
    UserLookups lookups;
    lookups.processUser = [process](SidBytes* sid, std::string* account) {
        *sid = process.sid;
        *account = process.account;
        return process.known;
    };
    lookups.session = [] { return DWORD{7}; };
    lookups.sessionUser = [interactive, askedSession](DWORD session, SidBytes* sid, std::string* account) {
        *askedSession = session;
        *sid = interactive.sid;
        *account = interactive.account;
        return interactive.known;
    };
    return lookups;
}

const wchar_t kAlice[] = L"S-1-5-21-1111111111-2222222222-3333333333-1001";
const wchar_t kAdmin[] = L"S-1-5-21-1111111111-2222222222-3333333333-500";

TEST(InteractiveUser, TwoDifferentUsersAreAMismatchNamingBoth) {
    DWORD asked = 0;
    std::string current = "stale";
    std::string interactive = "stale";
    EXPECT_TRUE(DetectInteractiveUserMismatchWith(
        Lookups({true, SidFromText(kAdmin), "PC\\Administrator"}, {true, SidFromText(kAlice), "PC\\张三"}, &asked),
        &current, &interactive));
    EXPECT_EQ(current, "PC\\Administrator");
    EXPECT_EQ(interactive, "PC\\张三");
    EXPECT_EQ(asked, 7u);
}

TEST(InteractiveUser, SameUserIsNoMismatchWhateverTheNames) {
    DWORD asked = 0;
    std::string current;
    std::string interactive;
    EXPECT_FALSE(DetectInteractiveUserMismatchWith(
        Lookups({true, SidFromText(kAlice), "PC\\alice"}, {true, SidFromText(kAlice), ""}, &asked), &current,
        &interactive));
    EXPECT_EQ(current, "PC\\alice");
}

TEST(InteractiveUser, NothingKnownIsNoMismatch) {
    const FakeUser alice{true, SidFromText(kAlice), "alice"};
    const FakeUser admin{true, SidFromText(kAdmin), "admin"};
    const struct {
        const char* name;
        FakeUser process;
        FakeUser interactive;
    } cases[] = {
        {"no interactive user", admin, {false, {}, ""}},
        {"interactive user without SID", admin, {true, {}, "alice"}},
        {"process user unknown", {false, {}, ""}, alice},
        {"process user without SID", {true, {}, "admin"}, alice},
        {"malformed interactive SID", admin, {true, {1, 5, 0}, "alice"}},
    };
    for (const auto& c : cases) {
        DWORD asked = 0;
        std::string current;
        std::string interactive;
        EXPECT_FALSE(DetectInteractiveUserMismatchWith(Lookups(c.process, c.interactive, &asked), &current,
                                                       &interactive))
            << c.name;
    }
}

// The real check in this prefix: the test runs as the desktop user.
TEST(InteractiveUser, RealRunFindsNoMismatch) {
    std::string current = "stale";
    std::string interactive = "stale";
    EXPECT_FALSE(DetectInteractiveUserMismatch(&current, &interactive));
    EXPECT_FALSE(current.empty());
    EXPECT_NE(current, "stale");
}

TEST(InteractiveUser, TokenAndSessionLookupsAgreeOnThisUser) {
    UniqueHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    SidBytes own;
    std::string account;
    ASSERT_TRUE(GetTokenUserAccount(token.get(), &own, &account));
    ASSERT_TRUE(IsValidSid(own.data()));
    EXPECT_FALSE(account.empty());
    EXPECT_FALSE(GetTokenUserAccount(nullptr, &own, &account));
    EXPECT_TRUE(own.empty());

    DWORD session = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    SidBytes fromSession;
    std::string sessionAccount;
    ASSERT_TRUE(GetSessionInteractiveUser(session, &fromSession, &sessionAccount));
    EXPECT_TRUE(EqualSid(own.data(), fromSession.data()));
    // The Remote Desktop Services answer alone, as when no explorer runs.
    SidBytes fromWts;
    std::string wtsAccount;
    if (!GetWtsUserOfSession(session, &fromWts, &wtsAccount)) {
        GTEST_SKIP() << "this Wine reports no session user through WTSQuerySessionInformationW";
    }
    EXPECT_TRUE(EqualSid(own.data(), fromWts.data()));
    EXPECT_FALSE(wtsAccount.empty());
}

}  // namespace
}  // namespace quilmo
