// Replays the controller-reply fuzz corpus (seeds and the inputs that once
// crashed) through the fuzz target's entry point under the sanitizers.
#include <dirent.h>
#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "tests/fuzz/cip_fuzz_driver.h"

namespace {

TEST(CipFuzzCorpus, EveryFileReplaysCleanly) {
    log_set_flags(0, 0, 0);
    auto files = fuzz_corpus_files("cip");
    ASSERT_GE(files.size(), 10u);
    for (const auto &f : files) {
        SCOPED_TRACE(f);
        std::string data = tsup::read_file(f);
        ASSERT_GE(data.size(), 3u);
        cip_fuzz::run_one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    log_set_flags(1, 1, 1);
}

}  // namespace
