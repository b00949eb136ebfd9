#include "common/version.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "zq_version_gen.h"

const char *zq_version_full() { return ZQ_RELEASE " (" ZQ_REVISION " " ZQ_BUILD_DATE ")"; }

void zq_version_write_run(const char *program) {
    if (!program || !*program) return;
    mkdir("./run", 0775);
    std::string path = std::string("./run/") + program + ".version";
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (!f) return;
    bool ok = fprintf(f, "%s\n", zq_version_full()) > 0;
    ok = (fclose(f) == 0) && ok;
    if (ok) rename(tmp.c_str(), path.c_str());
    else remove(tmp.c_str());
}

bool zq_version_arg(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--version") == 0) {
            printf("%s\n", zq_version_full());
            return true;
        }
    }
    return false;
}
