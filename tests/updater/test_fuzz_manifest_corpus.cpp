// Replays the manifest fuzz corpus under the sanitizers and checks that
// the seeds are judged as they are meant.
#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"
#include "update_fuzz_driver.h"

TEST(UpdateManifestFuzzCorpus, EveryFileReplaysAndSeedsAreJudgedAsMeant) {
    auto files = fuzz_corpus_files("update_manifest");
    ASSERT_GE(files.size(), 7u);
    int accepted = 0;
    for (const auto &f : files) {
        SCOPED_TRACE(f);
        std::string data = fuzz_read_file(f);
        int r = update_fuzz::run_one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
        bool meant = f.size() > 5 && (f.compare(f.size() - 5, 5, "/good") == 0 ||
                                      f.compare(f.size() - 12, 12, "/empty_files") == 0);
        EXPECT_EQ(r, meant ? 1 : 0);
        accepted += r;
    }
    EXPECT_EQ(accepted, 2);
}
