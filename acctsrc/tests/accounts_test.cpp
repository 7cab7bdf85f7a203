// The account lookups and listings of the shared library, called through its
// C interface against a private account database. No password helper mode
// is ever set in this program, so user records carry expiry -1 and status 0.
#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>

#include "accounts.h"
#include "acctsrc.h"
#include "process.h"
#include "records.h"

extern "C" int UserIdFromC(const wchar_t *name, wchar_t *id, size_t idChars);

namespace {

using namespace acctsrc_test;
using testsupport::GroupEntry;
using testsupport::IsolatedAccounts;
using testsupport::UserEntry;

UserEntry User(const std::string &name, uid_t uid, gid_t gid, const std::string &gecos = std::string())
{
    UserEntry u;
    u.name = name;
    u.uid = uid;
    u.gid = gid;
    u.gecos = gecos;
    return u;
}

// Full-name split cases: GECOS text, then first / middle / last (nullptr for NULL).
struct SplitCase {
    const char *gecos;
    const wchar_t *first, *middle, *last;
};
const SplitCase kSplits[] = {
    {"Ann Lee", L"Ann", nullptr, L"Lee"},
    {"Ann Maria  Rose Lee ", L"Ann", L"Maria  Rose", L"Lee"},
    {"Ann", L"Ann", nullptr, nullptr},
    {"Lee, Ann", L"Lee,", nullptr, L"Ann"},
    {"  Ann", L"  Ann", nullptr, nullptr},
    {"  Ann Lee", L"Ann", nullptr, L"Lee"},
    {"Ann   ", L"Ann", nullptr, nullptr},
    {"   ", L"   ", nullptr, nullptr},
    {"Ann\tLee", L"Ann", nullptr, L"Lee"},
    {"Ann Lee,Room 1,555-1234", L"Ann", L"Lee,Room", L"1,555-1234"},
    {"", nullptr, nullptr, nullptr},
};

constexpr uid_t kBigUid = 3000000000u; // written as -1294967296
const std::string kLongGecos(300, 'g');

std::vector<UserEntry> TestUsers()
{
    std::vector<UserEntry> users = {
        User("alice", 1001, 100, "Alice Liddell"),
        User("bob", 1002, 100),
        User("longline", 1003, 100, kLongGecos + " Tail"),
        User("bigid", kBigUid, 100),
        User("orphan", 1005, 4242),
        User("j\xc3\xbcrgen", 1006, 100, "J\xc3\xbcrgen Gro\xc3\x9f"),
    };
    for (size_t i = 0; i < sizeof(kSplits) / sizeof(kSplits[0]); ++i)
        users.push_back(User("split" + std::to_string(i), 2000 + static_cast<uid_t>(i), 100, kSplits[i].gecos));
    return users;
}

std::vector<GroupEntry> TestGroups()
{
    std::vector<GroupEntry> groups = {
        {"staff", 100, {"alice", "bob"}},
        {"nested", 101, {"alice", "staff"}},
        {"haunted", 102, {"alice", "ghost"}},
        {"empty", 103, {}},
        {"m\xc3\xbc" "de", 104, {"j\xc3\xbcrgen"}},
        {"biggid", kBigUid, {"alice"}},
    };
    // 40 groups in all, root and nogroup included.
    for (int i = 0; groups.size() + 2 < 40; ++i)
        groups.push_back({"extra" + std::to_string(i), static_cast<gid_t>(500 + i), {}});
    return groups;
}

class AcctsrcAccounts : public testing::Test {
protected:
    void SetUp() override
    {
        if (!testsupport::isolationUnavailableReason().empty())
            GTEST_SKIP() << testsupport::isolationUnavailableReason();
        accounts_ = std::make_unique<IsolatedAccounts>(TestUsers(), TestGroups());
    }

    static UserPtr UserNamed(const wchar_t *name)
    {
        UserInfo *u = nullptr;
        EXPECT_EQ(0, GetUserByName(name, &u)) << W(name) << " " << W(LastMessage().c_str());
        return UserPtr(u);
    }

    std::unique_ptr<IsolatedAccounts> accounts_;
};

// A UTF-8 locale for the duration of a test; the library never sets one itself.
class Utf8Locale {
public:
    Utf8Locale() : saved_(setlocale(LC_ALL, nullptr)) { setlocale(LC_ALL, "C.UTF-8"); }
    ~Utf8Locale() { setlocale(LC_ALL, saved_.c_str()); }

private:
    std::string saved_;
};

TEST_F(AcctsrcAccounts, UserRecordByNameAndById)
{
    UserPtr alice = UserNamed(L"alice");
    ASSERT_TRUE(alice);
    EXPECT_EQ(L"alice", W(alice->name));
    EXPECT_EQ(L"1001", W(alice->id));
    EXPECT_EQ(nullptr, alice->description);
    EXPECT_EQ(nullptr, alice->reserved);
    EXPECT_EQ(L"Alice", W(alice->firstName));
    EXPECT_EQ(nullptr, alice->middleName);
    EXPECT_EQ(L"Liddell", W(alice->lastName));
    EXPECT_EQ(0, alice->lastLogon);

    UserInfo *byId = nullptr;
    ASSERT_EQ(0, GetUserByID(alice->id, &byId));
    UserPtr hold(byId);
    EXPECT_EQ(L"alice", W(byId->name));
}

TEST_F(AcctsrcAccounts, WithoutHelperModeRecordsHaveNoExpiryAndNoStatus)
{
    UserPtr alice = UserNamed(L"alice");
    ASSERT_TRUE(alice);
    EXPECT_EQ(-1, alice->accountExpires);
    EXPECT_EQ(0, alice->status);
    EXPECT_TRUE(EndsWith(LastMessage(), L"Invalid mode (0) for passcheck operation")) << LastMessage();
    EXPECT_EQ(6, ValidateCredentials(L"alice", L"secret"));
}

TEST_F(AcctsrcAccounts, FullNameSplit)
{
    for (size_t i = 0; i < sizeof(kSplits) / sizeof(kSplits[0]); ++i) {
        const SplitCase &c = kSplits[i];
        UserPtr u = UserNamed(Widen("split" + std::to_string(i)).c_str());
        ASSERT_TRUE(u);
        EXPECT_EQ(W(c.first), W(u->firstName)) << '"' << c.gecos << '"';
        EXPECT_EQ(W(c.middle), W(u->middleName)) << '"' << c.gecos << '"';
        EXPECT_EQ(W(c.last), W(u->lastName)) << '"' << c.gecos << '"';
    }
}

TEST_F(AcctsrcAccounts, IdTexts)
{
    struct Case {
        const wchar_t *id;
        int rc;
        const wchar_t *name;
    };
    const Case cases[] = {
        {L"1001", 0, L"alice"},
        {L" 1001", 0, L"alice"},
        {L"+1001", 0, L"alice"},
        {L"-1294967296", 0, L"bigid"},
        {L"3000000000", 0, L"bigid"}, // the unsigned form of the same id
        {L"0", 0, L"root"},
        {L"abc", 4, nullptr},
        {L"1001x", 4, nullptr},
        {L"1001 ", 4, nullptr},
        {L"", 4, nullptr},
        {L" ", 4, nullptr},
        {L"-1", 4, nullptr},
        {L"4294967295", 4, nullptr},
        {L"4294968297", 4, nullptr}, // 2^32 + 1001 must not wrap onto alice
        {L"-4294966295", 4, nullptr},
        {L"99999999999999999999999", 4, nullptr},
        {L"0000000000000000000000000000000000001001", 4, nullptr}, // longer than any id written
        {L"1004", 8, nullptr},
    };
    for (const Case &c : cases) {
        UserInfo *sentinel = reinterpret_cast<UserInfo *>(0x1);
        UserInfo *u = sentinel;
        EXPECT_EQ(c.rc, GetUserByID(c.id, &u)) << W(c.id);
        if (c.rc == 0) {
            UserPtr hold(u);
            EXPECT_EQ(W(c.name), W(u->name)) << W(c.id);
        } else {
            EXPECT_EQ(sentinel, u) << "output written on failure for " << W(c.id);
            if (c.rc == 4) {
                EXPECT_TRUE(EndsWith(LastMessage(), L"] GetUserByID parameter 0 invalid")) << LastMessage();
            }
        }
    }
    GroupInfo *g = nullptr;
    EXPECT_EQ(4, GetGroupByID(L"x", &g));
    EXPECT_TRUE(EndsWith(LastMessage(), L"] GetGroupByID parameter 0 invalid"));
    size_t count = 7;
    GroupInfo **groups = nullptr;
    EXPECT_EQ(4, GetUserGroupsByID(L"12a", &count, &groups));
    EXPECT_TRUE(EndsWith(LastMessage(), L"] GetUserGroupsByID parameter 0 invalid"));
    MemberInfo **members = nullptr;
    EXPECT_EQ(4, GetGroupMembersByID(L"", &count, &members));
    EXPECT_TRUE(EndsWith(LastMessage(), L"] GetGroupMembersByID parameter 0 invalid"));
}

TEST_F(AcctsrcAccounts, IdAboveSignedRangeIsWrittenNegativeAndReadsBack)
{
    UserPtr big = UserNamed(L"bigid");
    ASSERT_TRUE(big);
    EXPECT_EQ(L"-1294967296", W(big->id));
    UserInfo *again = nullptr;
    ASSERT_EQ(0, GetUserByID(big->id, &again));
    UserPtr hold(again);
    EXPECT_EQ(L"bigid", W(again->name));

    GroupInfo *g = nullptr;
    ASSERT_EQ(0, GetGroupByName(L"biggid", &g));
    GroupPtr group(g);
    EXPECT_EQ(L"-1294967296", W(g->id));
    GroupInfo *g2 = nullptr;
    ASSERT_EQ(0, GetGroupByID(g->id, &g2));
    GroupPtr group2(g2);
    EXPECT_EQ(L"biggid", W(g2->name));
}

TEST_F(AcctsrcAccounts, UnknownNamesAreNotFoundAndLeaveTheOutputAndErrorAlone)
{
    UserInfo *none = nullptr;
    ASSERT_EQ(3, GetUserByName(nullptr, &none)); // leaves a message behind
    const std::wstring before = LastMessage();
    UserInfo *u = reinterpret_cast<UserInfo *>(0x1);
    EXPECT_EQ(8, GetUserByName(L"nosuchuser", &u));
    EXPECT_EQ(reinterpret_cast<UserInfo *>(0x1), u);
    GroupInfo *g = reinterpret_cast<GroupInfo *>(0x1);
    EXPECT_EQ(8, GetGroupByName(L"nosuchgroup", &g));
    EXPECT_EQ(8, GetGroupByID(L"9999", &g));
    EXPECT_EQ(reinterpret_cast<GroupInfo *>(0x1), g);
    size_t count = 5;
    GroupInfo **groups = reinterpret_cast<GroupInfo **>(0x1);
    EXPECT_EQ(8, GetUserGroupsByName(L"nosuchuser", &count, &groups));
    EXPECT_EQ(5u, count);
    EXPECT_EQ(before, LastMessage());
}

TEST_F(AcctsrcAccounts, GroupRecords)
{
    GroupInfo *g = nullptr;
    ASSERT_EQ(0, GetGroupByName(L"staff", &g));
    GroupPtr staff(g);
    EXPECT_EQ(L"staff", W(g->name));
    EXPECT_EQ(L"100", W(g->id));
    EXPECT_EQ(nullptr, g->description);
    GroupInfo *byId = nullptr;
    ASSERT_EQ(0, GetGroupByID(L"100", &byId));
    GroupPtr hold(byId);
    EXPECT_EQ(L"staff", W(byId->name));
}

TEST_F(AcctsrcAccounts, ListingAllUsersReadsLongLinesAndHonoursTheMaximum)
{
    Users all;
    ASSERT_EQ(0, GetAllUsers(1000, &all.count, &all.items));
    // In the C locale the one non-ASCII name has no wide form: that user is left out.
    std::vector<std::wstring> expected = {L"root", L"nobody"}, names;
    for (const UserEntry &u : TestUsers())
        if (u.name.find('\xc3') == std::string::npos)
            expected.push_back(Widen(u.name));
    for (size_t i = 0; i < all.count; ++i)
        names.push_back(W(all[i]->name));
    EXPECT_EQ(expected, names);
    ASSERT_GE(all.count, 6u);
    // The 300-byte GECOS line did not disturb the entries after it.
    EXPECT_EQ(Widen(kLongGecos), W(all[4]->firstName));
    EXPECT_EQ(L"Tail", W(all[4]->lastName));
    EXPECT_EQ(L"bigid", W(all[5]->name));

    Users one;
    ASSERT_EQ(0, GetAllUsers(1, &one.count, &one.items));
    ASSERT_EQ(1u, one.count);
    EXPECT_EQ(L"root", W(one[0]->name));

    Users none;
    none.count = 9;
    none.items = nullptr;
    ASSERT_EQ(0, GetAllUsers(0, &none.count, &none.items));
    EXPECT_EQ(0u, none.count);
    EXPECT_EQ(nullptr, none.items);
}

TEST_F(AcctsrcAccounts, ListingAllGroupsStopsAtTheMaximum)
{
    Groups two;
    ASSERT_EQ(0, GetAllGroups(2, &two.count, &two.items));
    ASSERT_EQ(2u, two.count);
    EXPECT_EQ(L"root", W(two[0]->name));
    EXPECT_EQ(L"nogroup", W(two[1]->name));

    Groups all;
    ASSERT_EQ(0, GetAllGroups(static_cast<size_t>(-1), &all.count, &all.items));
    EXPECT_EQ(39u, all.count) << "40 groups, one of them not convertible in the C locale";
    std::set<std::wstring> names;
    for (size_t i = 0; i < all.count; ++i)
        names.insert(W(all[i]->name));
    EXPECT_EQ(all.count, names.size());
    EXPECT_TRUE(names.count(L"extra31"));
}

TEST_F(AcctsrcAccounts, GroupsOfAUser)
{
    Groups groups;
    ASSERT_EQ(0, GetUserGroupsByName(L"alice", &groups.count, &groups.items));
    std::vector<std::wstring> names;
    for (size_t i = 0; i < groups.count; ++i)
        names.push_back(W(groups[i]->name));
    EXPECT_EQ((std::vector<std::wstring>{L"staff", L"nested", L"haunted", L"biggid"}), names);

    Groups byId;
    ASSERT_EQ(0, GetUserGroupsByID(L"1002", &byId.count, &byId.items));
    ASSERT_EQ(1u, byId.count);
    EXPECT_EQ(L"staff", W(byId[0]->name));

    size_t count = 3;
    GroupInfo **list = reinterpret_cast<GroupInfo **>(0x1);
    EXPECT_EQ(8, GetUserGroupsByName(L"orphan", &count, &list)) << "primary gid 4242 has no group";
    EXPECT_EQ(3u, count);
    EXPECT_EQ(reinterpret_cast<GroupInfo **>(0x1), list);
}

TEST_F(AcctsrcAccounts, MembersOfAGroup)
{
    Members staff;
    ASSERT_EQ(0, GetGroupMembersByName(L"staff", &staff.count, &staff.items));
    ASSERT_EQ(2u, staff.count);
    EXPECT_EQ(L"alice", W(staff[0]->name));
    EXPECT_EQ(L"1001", W(staff[0]->id));
    EXPECT_EQ(ACCTSRC_MEMBER_USER, staff[0]->type);
    EXPECT_EQ(L"bob", W(staff[1]->name));

    Members nested;
    ASSERT_EQ(0, GetGroupMembersByID(L"101", &nested.count, &nested.items));
    ASSERT_EQ(2u, nested.count);
    EXPECT_EQ(L"staff", W(nested[1]->name));
    EXPECT_EQ(L"100", W(nested[1]->id));
    EXPECT_EQ(ACCTSRC_MEMBER_GROUP, nested[1]->type);

    Members empty;
    empty.count = 4;
    empty.items = reinterpret_cast<MemberInfo **>(0x1);
    ASSERT_EQ(0, GetGroupMembersByName(L"empty", &empty.count, &empty.items));
    EXPECT_EQ(0u, empty.count);
    EXPECT_EQ(nullptr, empty.items);
}

TEST_F(AcctsrcAccounts, AMemberThatIsNeitherUserNorGroupFailsTheListing)
{
    size_t count = 4;
    MemberInfo **members = reinterpret_cast<MemberInfo **>(0x1);
    EXPECT_EQ(8, GetGroupMembersByName(L"haunted", &count, &members));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(nullptr, members);
    count = 4;
    EXPECT_EQ(8, GetGroupMembersByName(L"nosuchgroup", &count, &members));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(nullptr, members);
}

TEST_F(AcctsrcAccounts, NonAsciiNamesInAUtf8Locale)
{
    Utf8Locale utf8;
    UserPtr u = UserNamed(L"j\u00fcrgen");
    ASSERT_TRUE(u);
    EXPECT_EQ(L"J\u00fcrgen", W(u->firstName));
    EXPECT_EQ(L"Gro\u00df", W(u->lastName));
    Members members;
    ASSERT_EQ(0, GetGroupMembersByName(L"m\u00fcde", &members.count, &members.items));
    ASSERT_EQ(1u, members.count);
    EXPECT_EQ(L"j\u00fcrgen", W(members[0]->name));
    EXPECT_EQ(L"1006", W(members[0]->id));
    Groups all;
    ASSERT_EQ(0, GetAllGroups(100, &all.count, &all.items));
    EXPECT_EQ(40u, all.count);
}

TEST_F(AcctsrcAccounts, NamesWithoutAMultibyteFormAreInvalid)
{
    // The C locale has no form for u-umlaut: the name is refused, nothing is cut or read past.
    UserInfo *u = nullptr;
    EXPECT_EQ(4, GetUserByName(L"j\u00fcrgen", &u));
    EXPECT_TRUE(EndsWith(LastMessage(), L"] GetUserByName parameter 0 invalid")) << LastMessage();
    GroupInfo *g = nullptr;
    EXPECT_EQ(4, GetGroupByName(L"m\u00fcde", &g));
}

// Storage the NULL-parameter calls below may write to.
UserInfo *g_user;
GroupInfo *g_group;
size_t g_count;
UserInfo **g_users;
GroupInfo **g_groups;
MemberInfo **g_members;

TEST_F(AcctsrcAccounts, NullParametersAreReportedWithTheirPosition)
{
    struct Case {
        const char *what;
        int (*call)();
        int rc;
        const wchar_t *message;
    };
#define CALL(expr) [] { return expr; }
    const Case cases[] = {
        {"user name", CALL(GetUserByName(nullptr, &g_user)), 3, L"GetUserByName parameter 0 NULL"},
        {"user out", CALL(GetUserByName(L"alice", nullptr)), 3, L"GetUserByName parameter 1 NULL"},
        {"user id", CALL(GetUserByID(nullptr, &g_user)), 3, L"GetUserByID parameter 0 NULL"},
        {"user id out", CALL(GetUserByID(L"1001", nullptr)), 3, L"GetUserByID parameter 1 NULL"},
        {"group name", CALL(GetGroupByName(nullptr, &g_group)), 3, L"GetGroupByName parameter 0 NULL"},
        {"group out", CALL(GetGroupByName(L"staff", nullptr)), 3, L"GetGroupByName parameter 1 NULL"},
        {"group id", CALL(GetGroupByID(nullptr, &g_group)), 3, L"GetGroupByID parameter 0 NULL"},
        {"group id out", CALL(GetGroupByID(L"100", nullptr)), 3, L"GetGroupByID parameter 1 NULL"},
        {"all users count", CALL(GetAllUsers(5, nullptr, &g_users)), 3, L"GetAllUsers parameter 0 NULL"},
        {"all users list", CALL(GetAllUsers(5, &g_count, nullptr)), 3, L"GetAllUsers parameter 1 NULL"},
        {"all groups count", CALL(GetAllGroups(5, nullptr, &g_groups)), 3, L"GetAllGroups parameter 0 NULL"},
        {"all groups list", CALL(GetAllGroups(5, &g_count, nullptr)), 3, L"GetAllGroups parameter 1 NULL"},
        {"user groups name", CALL(GetUserGroupsByName(nullptr, &g_count, &g_groups)), 3,
         L"GetUserGroupsByName parameter 0 NULL"},
        {"user groups count", CALL(GetUserGroupsByName(L"alice", nullptr, &g_groups)), 3,
         L"GetUserGroupsByName parameter 1 NULL"},
        {"user groups list", CALL(GetUserGroupsByName(L"alice", &g_count, nullptr)), 3,
         L"GetUserGroupsByName parameter 2 NULL"},
        {"user groups id", CALL(GetUserGroupsByID(nullptr, &g_count, &g_groups)), 3,
         L"GetUserGroupsByID parameter 0 NULL"},
        {"user groups id list", CALL(GetUserGroupsByID(L"1001", &g_count, nullptr)), 3,
         L"GetUserGroupsByID parameter 2 NULL"},
        {"members name", CALL(GetGroupMembersByName(nullptr, &g_count, &g_members)), 1,
         L"GetGroupMembersByName parameter 0 NULL"},
        {"members count", CALL(GetGroupMembersByName(L"staff", nullptr, &g_members)), 1,
         L"GetGroupMembersByName parameter 1 NULL"},
        {"members list", CALL(GetGroupMembersByName(L"staff", &g_count, nullptr)), 1,
         L"GetGroupMembersByName parameter 2 NULL"},
        {"members id", CALL(GetGroupMembersByID(nullptr, &g_count, &g_members)), 3,
         L"GetGroupMembersByID parameter 0 NULL"},
        {"members id count", CALL(GetGroupMembersByID(L"100", nullptr, &g_members)), 3,
         L"GetGroupMembersByID parameter 1 NULL"},
        {"validate user", CALL(ValidateCredentials(nullptr, L"x")), 3, L"ValidateCredentials parameter 0 NULL"},
        {"validate password", CALL(ValidateCredentials(L"alice", nullptr)), 3,
         L"ValidateCredentials parameter 1 NULL"},
        {"mode", CALL(SetPasscheckMode(nullptr)), 3, L"SetPasscheckMode parameter 0 NULL"},
        {"path", CALL(SetPasscheckPath(nullptr)), 3, L"SetPasscheckPath parameter 0 NULL"},
        {"socket path", CALL(SetPasscheckUnixSocketPath(nullptr)), 3,
         L"SetPasscheckUnixSocketPath parameter 0 NULL"},
        {"error code", CALL(GetExtendedError(nullptr)), 3, nullptr},
        {"error message", CALL(GetExtendedErrorMsg(nullptr)), 3, nullptr},
    };
#undef CALL
    for (const Case &c : cases) {
        EXPECT_EQ(c.rc, c.call()) << c.what;
        if (c.message == nullptr)
            continue;
        const std::wstring message = LastMessage();
        EXPECT_EQ(L'[', message[0]) << c.what;
        EXPECT_TRUE(EndsWith(message, std::wstring(L"] ") + c.message)) << c.what << ": " << message.c_str();
        EXPECT_EQ(0ul, LastCode()) << c.what;
    }
}

TEST_F(AcctsrcAccounts, MessagesNameTheSourceUnitAndLine)
{
    struct Case {
        int (*call)();
        const wchar_t *unit;
    };
    const Case cases[] = {
        {[] { return GetUserByName(nullptr, nullptr); }, L"[UserInfo.cpp:"},
        {[] { return GetGroupByName(nullptr, nullptr); }, L"[GroupInfo.cpp:"},
        {[] { return GetGroupMembersByID(nullptr, nullptr, nullptr); }, L"[MemberInfo.cpp:"},
        {[] { return ValidateCredentials(nullptr, nullptr); }, L"[acctsrc.cpp:"},
    };
    for (const Case &c : cases) {
        c.call();
        const std::wstring message = LastMessage();
        ASSERT_EQ(0u, message.rfind(c.unit, 0)) << message.c_str();
        const size_t colon = wcslen(c.unit);
        const size_t close = message.find(L"] ");
        ASSERT_NE(std::wstring::npos, close);
        const std::wstring line = message.substr(colon, close - colon);
        EXPECT_FALSE(line.empty());
        EXPECT_EQ(std::wstring::npos, line.find_first_not_of(L"0123456789")) << message.c_str();
    }
}

TEST_F(AcctsrcAccounts, ReleaseFunctionsAcceptNothing)
{
    FreeUserInfo(nullptr);
    UserInfo *u = nullptr;
    FreeUserInfo(&u);
    FreeGroupInfo(nullptr);
    FreeUserInfos(nullptr, 3);
    UserInfo **users = nullptr;
    FreeUserInfos(&users, 0);
    GroupInfo **groups = nullptr;
    FreeGroupInfos(&groups, 5);
    MemberInfo **members = nullptr;
    FreeMemberInfos(&members, 0);
    DomainInfo **domains = nullptr;
    FreeDomainInfos(&domains, 0);

    // A list with NULL entries, and a record with its reserved text set, are released whole (ASan checks).
    Users list;
    ASSERT_EQ(0, GetAllUsers(3, &list.count, &list.items));
    FreeUserInfo(&list.items[1]);
    EXPECT_EQ(nullptr, list.items[1]);
    list.items[0]->reserved = static_cast<wchar_t *>(malloc(4 * sizeof(wchar_t)));
    FreeUserInfos(&list.items, list.count);
    EXPECT_EQ(nullptr, list.items);
}

// Each thread sees its own last error, kept across successful calls, and a
// thread that never failed sees none.
TEST_F(AcctsrcAccounts, ExtendedErrorsArePerThreadAndSurviveSuccess)
{
    std::atomic<int> failures{0};
    auto worker = [&failures](int n) {
        const wchar_t *id = n % 2 ? L"bad" : nullptr;
        for (int round = 0; round < 20; ++round) {
            UserInfo *u = nullptr;
            const int rc = GetUserByID(id, &u);
            UserInfo *ok = nullptr;
            if (GetUserByName(L"alice", &ok) != 0)
                ++failures;
            FreeUserInfo(&ok);
            GroupInfo **groups = nullptr;
            size_t count = 0;
            if (GetUserGroupsByName(L"bob", &count, &groups) != 0)
                ++failures;
            FreeGroupInfos(&groups, count);
            // GetUserByName's helper query records its own error; the failed id call comes last.
            GetUserByID(id, &u);
            const std::wstring message = LastMessage();
            const bool right = n % 2 ? rc == 4 && EndsWith(message, L"] GetUserByID parameter 0 invalid")
                                     : rc == 3 && EndsWith(message, L"] GetUserByID parameter 0 NULL");
            if (!right)
                ++failures;
            // Successful calls that record nothing leave it in place.
            GroupInfo *group = nullptr;
            if (GetGroupByName(L"staff", &group) != 0)
                ++failures;
            FreeGroupInfo(&group);
            if (GetUserGroupsByName(L"alice", &count, &groups) != 0)
                ++failures;
            FreeGroupInfos(&groups, count);
            if (LastMessage() != message)
                ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back(worker, i);
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(0, failures.load());

    std::thread fresh([] {
        unsigned long code = 77;
        const wchar_t *message = L"untouched";
        EXPECT_EQ(0, GetExtendedError(&code));
        EXPECT_EQ(0, GetExtendedErrorMsg(&message));
        EXPECT_EQ(77ul, code);
        EXPECT_EQ(std::wstring(L"untouched"), message);
    });
    fresh.join();
}

TEST_F(AcctsrcAccounts, ConcurrentListingsAgree)
{
    Users reference;
    ASSERT_EQ(0, GetAllUsers(1000, &reference.count, &reference.items));
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int round = 0; round < 10; ++round) {
                Users users;
                Members members;
                if (GetAllUsers(1000, &users.count, &users.items) != 0 || users.count != reference.count)
                    ++mismatches;
                for (size_t k = 0; k < users.count && k < reference.count; ++k)
                    if (W(users[k]->id) != W(reference[k]->id))
                        ++mismatches;
                if (GetGroupMembersByName(L"nested", &members.count, &members.items) != 0 || members.count != 2)
                    ++mismatches;
            }
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(0, mismatches.load());
}

TEST_F(AcctsrcAccounts, AnswersACCaller)
{
    wchar_t id[32];
    ASSERT_EQ(0, UserIdFromC(L"alice", id, 32));
    EXPECT_EQ(L"1001", W(id));
    EXPECT_EQ(8, UserIdFromC(L"nosuchuser", id, 32));
}

// Loaded at run time and called through looked-up entry points, as a native
// bridge does it.
TEST_F(AcctsrcAccounts, AnswersWhenLoadedAtRunTime)
{
    void *library = dlopen(ACCTSRC_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, library) << dlerror();
    auto getUser = reinterpret_cast<int (*)(const wchar_t *, UserInfo **)>(dlsym(library, "GetUserByName"));
    auto freeUser = reinterpret_cast<void (*)(UserInfo **)>(dlsym(library, "FreeUserInfo"));
    auto lastError = reinterpret_cast<int (*)(const wchar_t **)>(dlsym(library, "GetExtendedErrorMsg"));
    ASSERT_TRUE(getUser && freeUser && lastError);
    UserInfo *u = nullptr;
    ASSERT_EQ(0, getUser(L"bob", &u));
    EXPECT_EQ(L"1002", W(u->id));
    freeUser(&u);
    EXPECT_EQ(nullptr, u);
    EXPECT_EQ(3, getUser(L"bob", nullptr));
    const wchar_t *message = nullptr;
    ASSERT_EQ(0, lastError(&message));
    EXPECT_TRUE(EndsWith(W(message), L"] GetUserByName parameter 1 NULL"));
    EXPECT_EQ(nullptr, dlsym(library, "SetExtendedErrorMsg"));
    dlclose(library);
}

// The library exports exactly its C interface and building blocks.
TEST(AcctsrcLibrary, ExportsExactlyItsInterface)
{
    const std::set<std::string> expected = {
        "GetUserByName", "GetUserByID", "GetAllUsers", "GetGroupByName", "GetGroupByID", "GetAllGroups",
        "GetUserGroupsByName", "GetUserGroupsByID", "GetGroupMembersByName", "GetGroupMembersByID",
        "ValidateCredentials", "GetExtendedError", "GetExtendedErrorMsg", "FreeUserInfo", "FreeUserInfos",
        "FreeGroupInfo", "FreeGroupInfos", "FreeMemberInfos", "FreeDomainInfos", "SetPasscheckMode",
        "SetPasscheckPath", "SetPasscheckUnixSocketPath", "ShutdownUnixSocketServer", "LookupUserByName",
        "LookupUserByUID", "LookupGroupByName", "LookupGroupByGID", "fgetpwent_alloc", "FillGroupInfo",
        "FillGroupInfoByGID", "GetUserGroups", "wcsIDtoUnixID", "UnixIDtowcs", "mbstowcs_dup", "wcstombs_dup",
        "do_check_auth", "do_get_account_status", "do_get_account_expire_time", "check_auth",
        "get_account_status", "get_account_expire_time", "getspnam_alloc", "getpwnam_alloc", "hisuid", "haveuid",
        "sendMsg", "sendShutdown", "computeChecksum", "verifyChecksum", "becomeRoot", "runSocketServer",
    };
    testsupport::ProcessSpec spec;
    spec.argv = {NM_PATH, "-D", "--defined-only", "--format=posix", ACCTSRC_LIBRARY};
    const testsupport::ProcessResult r = testsupport::runProcess(spec);
    ASSERT_EQ(0, r.exitCode) << r.err;
    std::set<std::string> exported;
    size_t start = 0;
    while (start < r.out.size()) {
        size_t end = r.out.find('\n', start);
        if (end == std::string::npos)
            end = r.out.size();
        const std::string line = r.out.substr(start, end - start);
        start = end + 1;
        const std::string name = line.substr(0, line.find(' '));
        if (!name.empty())
            exported.insert(name.substr(0, name.find('@')));
    }
    EXPECT_EQ(expected, exported);
}

} // namespace
