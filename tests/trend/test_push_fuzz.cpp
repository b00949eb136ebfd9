// The push fuzz corpora replayed under the sanitizers; each frame of the
// corpus also goes to a fresh store, whose answer is recorded.

#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"
#include "tests/fuzz/push_fuzz_driver.h"

namespace {

TEST(PushFuzzCorpus, FramesGetTheRecordedAnswersFromAFreshStore) {
    fuzz_corpus_expect("push_frame",
                       {{"bad_date", "400 {\"error\":\"record date is not a calendar day\"}"},
                        {"bad_magic", "400 {\"error\":\"bad magic\"}"},
                        {"compressed", "200 {\"have\":224}"},
                        {"count_past_end", "400 {\"error\":\"record header past the end\"}"},
                        {"gap", "409 {\"have\":0}"},
                        {"header", "200 {\"have\":224}"},
                        {"header_rows", "200 {\"have\":248}"}},
                       [](const std::string &bytes) {
                           tsup::TempDir d("pushfuzz");
                           srv_store s;
                           s.dir = d.path;
                           srv_answer a;
                           srv_ingest(&s, "src", (const uint8_t *)bytes.data(), bytes.size(), &a);
                           push_fuzz::run_frame((const uint8_t *)bytes.data(), bytes.size());
                           return std::to_string(a.status) + " " + a.body;
                       });
}

TEST(PushFuzzCorpus, AnswersReplayCleanly) {
    auto files = fuzz_corpus_files("push_answer");
    ASSERT_GE(files.size(), 5u);
    for (const auto &f : files) {
        SCOPED_TRACE(f);
        std::string data = tsup::read_file(f);
        push_fuzz::run_answer((const uint8_t *)data.data(), data.size());
    }
}

}  // namespace
