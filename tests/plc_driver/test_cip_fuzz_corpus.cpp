// Replays the controller-reply fuzz corpus (seeds and the inputs that once
// crashed) through the fuzz target's entry point under the sanitizers.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "tests/fuzz/cip_fuzz_driver.h"

namespace {

std::vector<std::string> corpus_files(const char *name) {
    std::string dir = std::string(ZQ_SOURCE_DIR) + "/tests/fuzz/corpus/" + name;
    std::vector<std::string> files;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
        closedir(d);
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

TEST(CipFuzzCorpus, EveryFileReplaysCleanly) {
    log_set_flags(0, 0, 0);
    auto files = corpus_files("cip");
    ASSERT_GE(files.size(), 10u);
    for (const auto &f : files) {
        SCOPED_TRACE(f);
        std::string data = slurp(f);
        ASSERT_GE(data.size(), 3u);
        cip_fuzz::run_one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    log_set_flags(1, 1, 1);
}

}  // namespace
