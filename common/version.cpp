#include "common/version.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/atomic_file.h"
#include "zq_version_gen.h"

const char *zq_version_full() {
    return ZQ_RELEASE " (" ZQ_REVISION " " ZQ_BUILD_DATE ")";
}

void zq_version_write_run(const char *program) {
    if (!program || !*program) return;
    mkdir("./run", 0775);
    std::string path = std::string("./run/") + program + ".version";
    // The engineering editor reads the stamp; a failure must not stop a program.
    atomic_file_write(path, std::string(zq_version_full()) + "\n");
}

bool zq_version_arg(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--version") == 0) {
            // "<program> <version>", the form every program of the stack prints.
            const char *name = argv[0] ? strrchr(argv[0], '/') : nullptr;
            name = name ? name + 1 : (argv[0] ? argv[0] : "");
            printf("%s %s\n", name, zq_version_full());
            return true;
        }
    }
    return false;
}
