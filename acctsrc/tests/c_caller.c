/* A C caller of the library, as a native bridge is: the header must stay valid C. */
#include <stddef.h>
#include <wchar.h>

#include "acctsrc.h"

int UserIdFromC(const wchar_t *name, wchar_t *id, size_t idChars);

/* Copies the id of the named user into id. Returns the library's result. */
int UserIdFromC(const wchar_t *name, wchar_t *id, size_t idChars)
{
    UserInfo *user = NULL;
    int rc = GetUserByName(name, &user);
    if (rc != ACCTSRC_OK)
        return rc;
    wcsncpy(id, user->id, idChars - 1);
    id[idChars - 1] = L'\0';
    FreeUserInfo(&user);
    return user == NULL ? ACCTSRC_OK : ACCTSRC_UNEXPECTED;
}
