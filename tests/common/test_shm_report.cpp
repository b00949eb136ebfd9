// What programs print after a failed open: the open itself stays silent,
// each variant's line comes once per process, the recorder and the calc
// engine pass over foreign objects.

#include "common/shm_report.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "common/shm.h"
#include "tests/common/core_test_util.h"

using tsup::ShmName;

namespace {

// Runs body in a fresh process (the once-per-process flags start clear) and
// returns what it wrote to stderr.
std::string child_stderr(const std::function<void()> &body) {
    tsup::TempDir dir("shmrep");
    std::string errfile = dir / "stderr";
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen(errfile.c_str(), "w", stderr)) _exit(3);
        body();
        fflush(stderr);
        _exit(0);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    return tsup::read_file(errfile);
}

void open_and_report(const ShmName &n, ShmMismatchMsg msg, int times) {
    for (int i = 0; i < times; i++) {
        ShmHandle r;
        if (shm_handle_open(&r, n.c_str(), false) == 0) _exit(5);
        shm_report_open_failure(&r, msg);
    }
}

}  // namespace

TEST(ShmReport, OpeningAloneIsSilent) {
    ShmName n;
    ShmHandle w;
    ASSERT_EQ(shm_open_rw(n.c_str(), 1, 1, 0, &w), 0);
    shm_header(&w)->version = 5;
    EXPECT_EQ(child_stderr([&] {
                  ShmHandle r;
                  if (shm_handle_open(&r, n.c_str(), false) == 0) _exit(5);
                  if (r.status != SHM_ERR_MISMATCH || r.found_version != 5) _exit(6);
              }),
              "");
    shm_close(&w);
}

TEST(ShmReport, RecorderLineOnlyForThisLayoutsMagic) {
    ShmName n;
    ShmHandle w;
    ASSERT_EQ(shm_open_rw(n.c_str(), 1, 1, 0, &w), 0);
    shm_header(&w)->version = 7;
    EXPECT_EQ(child_stderr([&] { open_and_report(n, SHM_MSG_TREND, 3); }),
              "[trend] SHM " + n.name + " version 7, binary expects 6 — rebuild whole stack\n");
    shm_header(&w)->magic = 0x12345678;  // a foreign object
    EXPECT_EQ(child_stderr([&] { open_and_report(n, SHM_MSG_TREND, 2); }), "");
    EXPECT_EQ(child_stderr([&] { open_and_report(n, SHM_MSG_NONE, 2); }), "");
    // A header of zeros is an object being created: nobody reports it.
    shm_header(&w)->magic = 0;
    shm_header(&w)->version = 0;
    EXPECT_EQ(child_stderr([&] { open_and_report(n, SHM_MSG_SERVER, 1); }), "");
    shm_close(&w);
}

TEST(ShmReport, LayoutLinesAreSharedByAllVariants) {
    ShmName n;
    ShmHandle w;
    ASSERT_EQ(shm_open_rw(n.c_str(), 2, 1, 0, &w), 0);
    ShmHeader *hd = shm_header(&w);
    hd->total_size = 100;
    EXPECT_EQ(child_stderr([&] {
                  open_and_report(n, SHM_MSG_TREND, 2);
                  open_and_report(n, SHM_MSG_SERVER, 1);
              }),
              "shm_handle_open: invalid total_size 100\n");
    hd->total_size = 5000;
    EXPECT_EQ(child_stderr([&] {
                  open_and_report(n, SHM_MSG_ALARM, 1);
                  open_and_report(n, SHM_MSG_TREND, 1);
              }),
              "shm_handle_open(" + n.name +
                  "): header does not fit the object (total_size 5000, real size 235, AN=2, "
                  "DI=1, PLC=0) — object not used\n");
    shm_close(&w);
}
