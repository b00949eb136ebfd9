#include "server/eng_update.h"

// Only a root-owned set-user-ID updater can install anything; any other
// copy would fail half-way, so it counts as not installed.
bool eng_update_owner_ok(const struct stat &st) {
    return S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & S_ISUID);
}
