// The configuration fuzz corpora replayed under the sanitizers.
#include <gtest/gtest.h>

#include "tests/fuzz/cfg_fuzz_driver.h"
#include "tests/fuzz/corpus_files.h"

namespace {

TEST(CfgFuzzCorpus, AugmentAndIniConversionKeepTheirProperties) {
    for (const char *name : {"cfg_augment", "cfg_ini_yaml"}) {
        auto files = fuzz_corpus_files(name);
        EXPECT_GE(files.size(), 2u) << name;
        for (const std::string &f : files) {
            std::string in = fuzz_read_file(f);
            const uint8_t *d = reinterpret_cast<const uint8_t *>(in.data());
            std::string why = std::string(name) == "cfg_augment"
                                  ? cfg_fuzz::augment_case(d, in.size())
                                  : cfg_fuzz::ini_case(d, in.size());
            EXPECT_EQ(why, "") << f;
        }
    }
}

}  // namespace
