// Command-line client of the account library, for the demonstration and
// for diagnostics: lists users and groups and validates a password, with
// the password helper reached in the mode given.
//
//   acctdemo MODE HELPER users | groups | members GROUP | validate USER
//
// MODE is Fork (HELPER: the passcheck program), Socket (HELPER: the
// passcheck server's socket) or Call. validate reads the password from the
// first line of standard input.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "acctsrc.h"

namespace {

std::wstring Widen(const char *text)
{
    std::wstring wide(std::mbstowcs(nullptr, text, 0) + 1, L'\0');
    wide.resize(std::mbstowcs(&wide[0], text, wide.size()));
    return wide;
}

const wchar_t *Text(const wchar_t *text)
{
    return text ? text : L"-";
}

int Fail(int rc)
{
    const wchar_t *message = L"";
    GetExtendedErrorMsg(&message);
    std::fprintf(stderr, "acctdemo: result %d: %ls\n", rc, message);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::setlocale(LC_ALL, "");
    if (argc < 4) {
        std::fprintf(stderr, "usage: acctdemo Fork|Socket|Call HELPER users|groups|members GROUP|validate USER\n");
        return 2;
    }
    const std::wstring mode = Widen(argv[1]), helper = Widen(argv[2]);
    int rc = SetPasscheckMode(mode.c_str());
    if (rc == 0)
        rc = mode == L"Socket" ? SetPasscheckUnixSocketPath(helper.c_str()) : SetPasscheckPath(helper.c_str());
    if (rc != 0)
        return Fail(rc);

    const std::string command = argv[3];
    if (command == "users") {
        size_t count = 0;
        UserInfo **users = nullptr;
        if ((rc = GetAllUsers(static_cast<size_t>(-1), &count, &users)) != 0)
            return Fail(rc);
        std::printf("%-10s %-6s %-10s %-10s %-12s %s\n", "name", "id", "first", "last", "expires", "status");
        for (size_t i = 0; i < count; ++i)
            std::printf("%-10ls %-6ls %-10ls %-10ls %-12ld %ld\n", users[i]->name, users[i]->id,
                        Text(users[i]->firstName), Text(users[i]->lastName), users[i]->accountExpires,
                        users[i]->status);
        FreeUserInfos(&users, count);
        return 0;
    }
    if (command == "groups") {
        size_t count = 0;
        GroupInfo **groups = nullptr;
        if ((rc = GetAllGroups(static_cast<size_t>(-1), &count, &groups)) != 0)
            return Fail(rc);
        for (size_t i = 0; i < count; ++i)
            std::printf("%-10ls %ls\n", groups[i]->name, groups[i]->id);
        FreeGroupInfos(&groups, count);
        return 0;
    }
    if (command == "members" && argc == 5) {
        size_t count = 0;
        MemberInfo **members = nullptr;
        if ((rc = GetGroupMembersByName(Widen(argv[4]).c_str(), &count, &members)) != 0)
            return Fail(rc);
        for (size_t i = 0; i < count; ++i)
            std::printf("%-10ls %-6ls %s\n", members[i]->name, members[i]->id,
                        members[i]->type == ACCTSRC_MEMBER_USER ? "user" : "group");
        FreeMemberInfos(&members, count);
        return 0;
    }
    if (command == "validate" && argc == 5) {
        char line[1024] = "";
        if (std::fgets(line, sizeof(line), stdin) == nullptr)
            line[0] = '\0';
        line[std::strcspn(line, "\n")] = '\0';
        std::wstring password = Widen(line);
        explicit_bzero(line, sizeof(line));
        rc = ValidateCredentials(Widen(argv[4]).c_str(), password.c_str());
        password.assign(password.size(), L'\0');
        if (rc != 0)
            return Fail(rc);
        std::printf("valid\n");
        return 0;
    }
    std::fprintf(stderr, "acctdemo: unknown command %s\n", command.c_str());
    return 2;
}
