// What the supervisor's process-level tests share.
#pragma once

#include <sys/mman.h>

#include <string>
#include <vector>

#include "tests/support/files.h"

namespace suptest {

// Unlinks every shared-memory object whose name starts with prefix (a
// "/name" as given to shm_open) and returns the names it unlinked, so a
// test can both clean up after the stack and complain about leftovers.
inline std::vector<std::string> unlink_shm_objects(const std::string &prefix) {
    std::vector<std::string> gone;
    for (const std::string &n : tsup::list_dir("/dev/shm", prefix.substr(1))) {
        std::string name = "/" + n;
        shm_unlink(name.c_str());
        gone.push_back(name);
    }
    return gone;
}

}  // namespace suptest
