// Replays the HTTP fuzz corpus (seeds and the inputs that once crashed)
// through the fuzz target's entry point, so the sanitizers keep watching it.
#include <dirent.h>
#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/fuzz/http_fuzz_driver.h"

namespace {

TEST(HttpFuzzCorpus, EveryFileReplaysCleanly) {
    auto files = fuzz_corpus_files("http");
    ASSERT_GE(files.size(), 5u);
    for (const auto &f : files) {
        SCOPED_TRACE(f);
        std::string data = fuzz_read_file(f);
        ASSERT_FALSE(data.empty());
        http_fuzz::run_one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
}

TEST(HttpFuzzCorpus, EmptyParameterNameStopsAtTheEndOfTheQuery) {
    http_request req{};
    char out[16] = "untouched";
    EXPECT_FALSE(http_query_param(&req, "", out, sizeof out));
    strcpy(req.query, "a=1&b=2");
    EXPECT_FALSE(http_query_param(&req, "", out, sizeof out));
    EXPECT_STREQ(out, "untouched");
    strcpy(req.query, "=x&b=2");
    ASSERT_TRUE(http_query_param(&req, "", out, sizeof out));
    EXPECT_STREQ(out, "x");
}

}  // namespace
