// The mount-list fuzz corpus replayed under the sanitizers.
#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"
#include "tests/fuzz/net_mounts_fuzz_driver.h"

TEST(MountFuzzCorpus, ReplaysWithoutFaults) {
    auto files = fuzz_corpus_files("net_mounts");
    EXPECT_GE(files.size(), 5u);
    for (const std::string &f : files) {
        SCOPED_TRACE(f);
        net_mounts_fuzz_one(tsup::read_file(f));
    }
}

TEST(MountTable, EscapedMountPointsAreFound) {
    std::string t = "nas:/e /mnt/zq/a\\040b nfs rw 0 0\n//s/x /mnt/zq/win cifs rw 0 0";
    EXPECT_TRUE(net_mounts_text_has(t, "/mnt/zq/a b"));
    EXPECT_TRUE(net_mounts_text_has(t, "/mnt/zq/win"));
    EXPECT_FALSE(net_mounts_text_has(t, "/mnt/zq/a"));
    EXPECT_FALSE(net_mounts_text_has(t, "/mnt/zq"));
    EXPECT_FALSE(net_mounts_text_has("/mnt/zq/win", "/mnt/zq/win")) << "a source is no mount point";
}
