// Replays the HTTP fuzz corpus (seeds and the inputs that once crashed)
// through the fuzz target's entry point, so the sanitizers keep watching it,
// and checks each input still reads the way it was recorded.
#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"

#include <map>
#include <string>

#include "tests/fuzz/http_fuzz_driver.h"

namespace {

TEST(HttpFuzzCorpus, EveryFileReadsAsRecorded) {
    // File name -> what the socket reader made of it ("rc method path ?query
    // body"); the path is decoded, the query not.
    const std::map<std::string, std::string> recorded = {
        {"crash_query_empty_name", "0 GET /screen1.html ? "},
        {"get_encoded", "0 GET /a b/../ ?x=%41+b "},  // decoding stops at %00
        {"get_page", "0 GET /screen1.html ? "},
        {"get_query", "0 GET /api/values ?tags=A1,A2,D5&t=0 "},
        {"post_write", "0 POST /api/write ? {\"tag\":\"A12\",\"v\":3.5}\n"},
        {"put_body", "0 PUT /eng/file ? hello"},
    };
    fuzz_corpus_expect("http", recorded, [](const std::string &data) {
        http_fuzz::result r =
            http_fuzz::run_one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
        std::string got = std::to_string(r.read_rc);
        if (r.read_rc == 0) got += " " + r.method + " " + r.path + " ?" + r.query + " " + r.body;
        return got;
    });
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
