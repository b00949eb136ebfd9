// Replays the Structured Text fuzz corpus (seed programs and anything the
// fuzzer found) through the fuzz target's entry point under the sanitizers,
// and checks each input is still taken or refused as recorded.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/fuzz/corpus_files.h"
#include "tests/fuzz/st_fuzz_driver.h"

namespace {

TEST(StFuzzCorpus, EveryFileParsesAsRecorded) {
    using st_fuzz::ST_EXPRESSION;
    using st_fuzz::ST_PROGRAM;
    using st_fuzz::ST_REFUSED;
    const std::map<std::string, st_fuzz::result> recorded = {
        // Their variables are not declared on the fuzz host.
        {"bearing_mean.st", ST_REFUSED}, {"control.st", ST_PROGRAM},
        {"expr.st", ST_EXPRESSION},      {"limit_check.st", ST_PROGRAM},
        {"literals.st", ST_PROGRAM},     {"pump_alternation.st", ST_REFUSED},
        {"routines.st", ST_PROGRAM},     {"shift_report.st", ST_PROGRAM},
        {"totaliser.st", ST_PROGRAM},
    };
    auto files = fuzz_corpus_files("st");
    ASSERT_GE(files.size(), 9u);
    for (const auto &f : files) {
        std::string name = f.substr(f.rfind('/') + 1);
        SCOPED_TRACE(name);
        std::string text = tsup::read_file(f);
        ASSERT_FALSE(text.empty());
        st_fuzz::result r =
            st_fuzz::run_one(reinterpret_cast<const uint8_t *>(text.data()), text.size());
        auto it = recorded.find(name);
        if (it == recorded.end()) {
            ADD_FAILURE() << "no recorded result; it gives " << r;
            continue;
        }
        EXPECT_EQ(r, it->second);
    }
}

}  // namespace
