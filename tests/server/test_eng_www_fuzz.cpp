// Replays the uploaded-archive fuzz corpus under the sanitizers, and checks
// what the seeds stand for.
#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"
#include "tests/fuzz/eng_zip_fuzz_driver.h"

TEST(EngZipFuzzCorpus, EveryFileReplaysCleanly) {
    auto files = fuzz_corpus_files("eng_zip");
    ASSERT_GE(files.size(), 7u);
    for (const auto &f : files) {
        SCOPED_TRACE(f);
        std::string data = fuzz_read_file(f);
        eng_zip_fuzz::run_one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    }
    std::filesystem::remove_all(eng_zip_fuzz::scratch());
}

TEST(EngZipFuzzCorpus, SeedsAreJudgedAsMeant) {
    auto check = [](const char *seed, bool pages, std::string *err) {
        std::string data =
            fuzz_read_file(std::string(ZQ_SOURCE_DIR) + "/tests/fuzz/corpus/eng_zip/" + seed);
        eng_zip_rules rules{pages, pages};
        return eng_zip_check(data.data(), data.size(), rules, err);
    };
    std::string err;
    EXPECT_EQ(check("pages", true, &err), 2) << err;
    EXPECT_EQ(check("empty", true, &err), 0) << err;
    EXPECT_EQ(check("text", false, &err), 1) << err;  // snapshots may hold any type
    EXPECT_EQ(check("text", true, &err), -1);
    EXPECT_EQ(err, "недозволений тип файла: x.txt");
    EXPECT_EQ(check("editor", false, &err), 1) << err;
    EXPECT_EQ(check("editor", true, &err), -1);
    EXPECT_EQ(check("symlink", false, &err), -1);
    EXPECT_EQ(err, "архів містить symlink — відхилено");
    for (const char *bad : {"dotdot", "backslash"}) {
        EXPECT_EQ(check(bad, false, &err), -1) << bad;
        EXPECT_EQ(err.rfind("небезпечний шлях в архіві: ", 0), 0u) << err;
    }
}
