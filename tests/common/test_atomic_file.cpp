#include "common/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "tests/support/files.h"

using tsup::read_file;
using tsup::TempDir;

TEST(AtomicFile, WritesAndReplacesWholeWithoutLeftovers) {
    TempDir dir;
    std::string path = dir / "alarms_active.json";
    ASSERT_EQ(atomic_file_write(path, std::string("{\"a\":1}\n")), 0);
    EXPECT_EQ(read_file(path), "{\"a\":1}\n");
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);

    // The mode of a replaced file is kept; an explicit mode wins.
    chmod(path.c_str(), 0600);
    ASSERT_EQ(atomic_file_write(path, std::string("second")), 0);
    EXPECT_EQ(read_file(path), "second");
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(atomic_file_write(path.c_str(), "x", 1, 0640), 0);
    // A std::string path with a pointer and a length writes those bytes.
    const char raw[] = "p\0q";
    ASSERT_EQ(atomic_file_write(path, raw, sizeof raw - 1), 0);
    EXPECT_EQ(read_file(path), std::string(raw, 3));
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    ASSERT_EQ(atomic_file_write(path, std::string()), 0);  // empty content is valid
    EXPECT_EQ(read_file(path), "");
    std::string bin("a\0b\xff", 4);
    ASSERT_EQ(atomic_file_write(path, bin), 0);
    EXPECT_EQ(read_file(path), bin);
    EXPECT_EQ(tsup::list_dir(dir.path).size(), 1u);

    // A name without a directory part lands in the working directory.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
    EXPECT_EQ(atomic_file_write("local.txt", "ok", size_t(2)), 0);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(read_file(dir / "local.txt"), "ok");
}

TEST(AtomicFile, FailuresKeepTheOldFileAndErrno) {
    TempDir dir;
    errno = 0;
    EXPECT_EQ(atomic_file_write(dir / "missing/x.json", std::string("data")), -1);
    EXPECT_EQ(errno, ENOENT);

    // Renaming over a non-empty directory fails: the directory stays and
    // no temporary file is left behind.
    mkdir((dir / "target").c_str(), 0755);
    std::string inside = dir / "target/keep";
    ASSERT_EQ(atomic_file_write(inside, std::string("keep")), 0);
    errno = 0;
    EXPECT_EQ(atomic_file_write(dir / "target", std::string("data")), -1);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(read_file(inside), "keep");
    EXPECT_EQ(tsup::list_dir(dir.path).size(), 1u);

    EXPECT_EQ(atomic_file_write(nullptr, "x", size_t(1)), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(atomic_file_write((dir / "f").c_str(), nullptr, size_t(5)), -1);
    EXPECT_EQ(atomic_file_write(dir / "sub/", std::string("x")), -1);
}

TEST(AtomicFile, ConcurrentWritersNeverMixAndReadersSeeWholeFiles) {
    TempDir dir;
    std::string path = dir / "channels.json";
    const size_t kSize = 64 * 1024;
    ASSERT_EQ(atomic_file_write(path, std::string(kSize, 'a')), 0);
    pid_t kids[2];
    for (int k = 0; k < 2; k++) {
        kids[k] = fork();
        if (kids[k] == 0) {
            std::string body(kSize, char('b' + k));
            for (int i = 0; i < 60; i++) {
                if (atomic_file_write(path, body) != 0) _exit(2);
            }
            _exit(0);
        }
    }
    // Read while they write: every read is one writer's content, whole.
    int bad = 0;
    for (int i = 0; i < 200; i++) {
        std::string s = read_file(path);
        if (s.size() != kSize || s.find_first_not_of(s[0]) != std::string::npos) bad++;
    }
    for (pid_t kid : kids) {
        int st = 0;
        waitpid(kid, &st, 0);
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    }
    EXPECT_EQ(bad, 0);
    std::string last = read_file(path);
    EXPECT_EQ(last.size(), kSize);
    EXPECT_TRUE(last[0] == 'b' || last[0] == 'c');
    EXPECT_EQ(tsup::list_dir(dir.path).size(), 1u);
}
