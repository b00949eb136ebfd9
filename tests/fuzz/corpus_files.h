// The fuzz corpora (seeds and inputs that once crashed) as the regression
// tests replay them under the sanitizers.
#pragma once

#include <gtest/gtest.h>

#include <map>
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

// Runs every file of the corpus through `run` (the file's bytes in, a text
// saying how it ended out) and compares that with the result recorded for
// the file's name; a file without a record fails, so a new corpus entry
// gets its expected outcome written down.
template <class Run>
void fuzz_corpus_expect(const char *name, const std::map<std::string, std::string> &recorded,
                        Run run) {
    auto files = fuzz_corpus_files(name);
    EXPECT_GE(files.size(), recorded.size());
    for (const std::string &f : files) {
        std::string base = f.substr(f.rfind('/') + 1);
        SCOPED_TRACE(base);
        std::string got = run(tsup::read_file(f));
        auto it = recorded.find(base);
        if (it == recorded.end())
            ADD_FAILURE() << "no recorded result; it gives " << got;
        else
            EXPECT_EQ(got, it->second);
    }
}
