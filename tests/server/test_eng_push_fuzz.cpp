// Replays the push input fuzz corpus through the checks of the push
// endpoints under the sanitizers: each file gives what was accepted.
#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"
#include "tests/fuzz/eng_push_fuzz_driver.h"

#include <map>
#include <string>

TEST(EngPushFuzzCorpus, EveryInputChecksAsRecorded) {
    const std::map<std::string, std::string> recorded = {
        {"good", "url token 20240229"}, {"path_space_noleap", "- - 0"}, {"port_crlf", "- - 0"},
        {"short", "url - 0"},           {"tls_cyrillic", "- - 0"},
    };
    fuzz_corpus_expect("eng_push_input", recorded, eng_push_fuzz_run);
}
