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
    // Their variables are not declared on the fuzz host: refused.
    const std::map<std::string, std::string> recorded = {
        {"bearing_mean.st", "refused"}, {"control.st", "program"},
        {"expr.st", "expression"},      {"limit_check.st", "program"},
        {"literals.st", "program"},     {"pump_alternation.st", "refused"},
        {"routines.st", "program"},     {"shift_report.st", "program"},
        {"totaliser.st", "program"},
    };
    fuzz_corpus_expect("st", recorded, [](const std::string &text) -> std::string {
        switch (st_fuzz::run_one(reinterpret_cast<const uint8_t *>(text.data()), text.size())) {
            case st_fuzz::ST_PROGRAM:
                return "program";
            case st_fuzz::ST_EXPRESSION:
                return "expression";
            case st_fuzz::ST_REFUSED:
                return "refused";
            default:
                return "too large";
        }
    });
}

}  // namespace
