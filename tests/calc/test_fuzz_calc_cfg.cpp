// Replays the calc configuration fuzz corpus under the sanitizers.
#include <gtest/gtest.h>

#include "tests/fuzz/calc_cfg_fuzz_driver.h"
#include "tests/fuzz/corpus_files.h"

TEST(FuzzCalcCfg, CorpusReplays) {
    auto files = fuzz_corpus_files("calc_cfg");
    ASSERT_GE(files.size(), 5u);
    for (const std::string &f : files) {
        std::string data = tsup::read_file(f);
        calc_cfg_fuzz_one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
}
