#pragma once
// The updater's verbs. Runs as root through the set-user-ID bit; the target
// is the folder that holds the running executable.

#include "updater/upd_manifest.h"

struct upd_options {
    const upd_key *keys;
    size_t nkeys;
    // Test builds only: log path from ZQUPD_LOG and no service restart or
    // control-group move, so tests leave the machine alone.
    bool test_build;
};

// The whole program: parses argv, runs the verb, returns the exit code.
int upd_main(int argc, char **argv, const upd_options &opt);
