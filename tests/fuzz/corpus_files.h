// The fuzz corpora (seeds and inputs that once crashed) as the regression
// tests replay them under the sanitizers.
#pragma once

#include <string>
#include <vector>

#include "tests/support/files.h"

// Every file of tests/fuzz/corpus/<name>/, in name order.
inline std::vector<std::string> fuzz_corpus_files(const char *name) {
    std::string dir = std::string(ZQ_SOURCE_DIR) + "/tests/fuzz/corpus/" + name;
    std::vector<std::string> files;
    for (const std::string &f : tsup::list_dir(dir))
        if (f[0] != '.') files.push_back(dir + "/" + f);
    return files;
}

// The server's corpus test still reads the files by this name.
inline std::string fuzz_read_file(const std::string &path) {
    return tsup::read_file(path);
}
