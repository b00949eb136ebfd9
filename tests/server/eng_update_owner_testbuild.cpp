// The updater rule of the test build of zqserver (never installed): a
// set-user-ID copy owned by the user running the tests counts as installed
// too, since only root can make a root-owned one.
#include <unistd.h>

#include "server/eng_update.h"

bool eng_update_owner_ok(const struct stat &st) {
    return S_ISREG(st.st_mode) && (st.st_uid == 0 || st.st_uid == geteuid()) &&
           (st.st_mode & S_ISUID);
}
