#include "common/shm.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>

#include "tests/common/core_test_util.h"

using tsup::ShmName;

namespace {

[[maybe_unused]] core_test::LogToTempDir *g_logs = static_cast<core_test::LogToTempDir *>(
    ::testing::AddGlobalTestEnvironment(new core_test::LogToTempDir));

std::string log_text() {
    char path[600];
    log_current_path(path, sizeof path);
    return tsup::read_file(path);
}

template <typename T>
T field_at(const ShmHandle &h, size_t off) {
    T v;
    memcpy(&v, h.base + off, sizeof v);
    return v;
}

template <typename T>
void put_at(const ShmHandle &h, size_t off, T v) {
    memcpy(h.base + off, &v, sizeof v);
}

// Waits for a forked child and returns its exit status (-1 when killed).
int wait_child(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

TEST(ShmLayout, EmptyObjectIsHeaderOnly) {
    ShmName n;
    ShmHandle h;
    ASSERT_EQ(shm_open_rw(n.c_str(), 0, 0, 0, &h), 0);
    EXPECT_EQ(n.real_size(), 120);
    EXPECT_EQ(h.size, 120u);
    EXPECT_EQ(field_at<uint64_t>(h, 0), 0x00000006A11CB501ull);
    EXPECT_EQ(field_at<uint32_t>(h, 48), 120u);  // total_size
    for (size_t off : {32, 36, 40, 44, 56, 112, 116})
        EXPECT_EQ(field_at<uint32_t>(h, off), 120u);
    shm_close(&h);
    EXPECT_EQ(h.base, nullptr);
    EXPECT_EQ(h.fd, -1);
}

TEST(ShmLayout, TenFiveTwoExampleByteForByte) {
    ShmName n;
    ShmHandle h;
    ASSERT_EQ(shm_open_rw(n.c_str(), 10, 5, 2, &h), 0);
    EXPECT_NE(log_text().find("SHM " + n.name + " (951 байт, AN=10, DI=5, PLC=2)"),
              std::string::npos);
    EXPECT_EQ(n.real_size(), 951);
    EXPECT_EQ(shm_total_size(10, 5, 2), 951u);
    EXPECT_EQ(field_at<uint32_t>(h, 24), 10u);   // an_count
    EXPECT_EQ(field_at<uint32_t>(h, 28), 5u);    // di_count
    EXPECT_EQ(field_at<uint32_t>(h, 32), 120u);  // an_off
    EXPECT_EQ(field_at<uint32_t>(h, 36), 360u);  // di_off
    EXPECT_EQ(field_at<uint32_t>(h, 40), 440u);  // an_wr_off
    EXPECT_EQ(field_at<uint32_t>(h, 44), 600u);  // di_wr_off
    EXPECT_EQ(field_at<uint32_t>(h, 48), 951u);  // total_size
    EXPECT_EQ(field_at<uint32_t>(h, 52), 2u);    // plc_count
    EXPECT_EQ(field_at<uint32_t>(h, 56), 680u);  // plc_off
    EXPECT_EQ(field_at<uint32_t>(h, 112), 936u);
    EXPECT_EQ(field_at<uint32_t>(h, 116), 946u);

    // Records land where the formula puts them.
    shm_update_analog(&h, 3, 1, 1234567890123LL, 2.5);
    EXPECT_EQ(field_at<double>(h, 120 + 24 * 3), 2.5);
    EXPECT_EQ(field_at<int64_t>(h, 120 + 24 * 3 + 8), 1234567890123LL);
    EXPECT_EQ(field_at<uint8_t>(h, 120 + 24 * 3 + 16), 1);
    shm_update_discrete(&h, 4, 7, 1, 42);
    EXPECT_EQ(field_at<uint8_t>(h, 360 + 16 * 4), 7);
    EXPECT_EQ(field_at<uint8_t>(h, 360 + 16 * 4 + 1), 1);
    EXPECT_EQ(field_at<int64_t>(h, 360 + 16 * 4 + 8), 42);
    shm_post_write(shm_an_write_slot(&h, 9), -1.5);
    EXPECT_EQ(field_at<double>(h, 440 + 16 * 9), -1.5);
    EXPECT_EQ(field_at<uint8_t>(h, 440 + 16 * 9 + 8), 1);
    shm_post_write(shm_di_write_slot(&h, 0), 1.0);
    EXPECT_EQ(field_at<uint8_t>(h, 600 + 8), 1);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(shm_plc(&h, 1)), h.base + 680 + 128);
    shm_set_an_vtype(&h, 9, SHM_VT_REAL);
    shm_set_di_vtype(&h, 4, SHM_VT_BOOL);
    EXPECT_EQ(field_at<uint8_t>(h, 936 + 9), 0xCA);
    EXPECT_EQ(field_at<uint8_t>(h, 946 + 4), 0xC1);
    shm_close(&h);
}

TEST(ShmLayout, SizesAreSixtyFourBitAndCapped) {
    EXPECT_EQ(shm_total_size(UINT32_MAX, UINT32_MAX, UINT32_MAX),
              120 + 41ull * UINT32_MAX + 33ull * UINT32_MAX + 128ull * UINT32_MAX);
    ShmLayout l = shm_layout(UINT32_MAX, 0, 0);
    EXPECT_EQ(l.total_size, 120 + 41ull * UINT32_MAX);
    EXPECT_GT(l.di_vtype_off, uint64_t(UINT32_MAX));

    // 120 + 41 * 104755300 > 4 GiB: refused before any object exists.
    ShmName n;
    ShmHandle h;
    EXPECT_EQ(shm_open_rw(n.c_str(), 104755300, 0, 0, &h), -1);
    EXPECT_EQ(h.status, SHM_ERR_TOO_BIG);
    EXPECT_EQ(h.base, nullptr);
    EXPECT_EQ(n.real_size(), -1);
    EXPECT_NE(log_text().find("SHM " + n.name +
                              ": 4294967420 байт перевищує межу 4294967295 (AN=104755300, DI=0, "
                              "PLC=0) — об'єкт не створено"),
              std::string::npos);
}

TEST(ShmLayout, ValueTypeAndModeNames) {
    EXPECT_STREQ(shm_vtype_name(0xC1), "BOOL");
    EXPECT_STREQ(shm_vtype_name(0xC4), "DINT");
    EXPECT_STREQ(shm_vtype_name(0xCA), "REAL");
    EXPECT_STREQ(shm_vtype_name(0xCB), "LREAL");
    EXPECT_STREQ(shm_vtype_name(0), "?");
    EXPECT_STREQ(shm_vtype_name(0xC0), "?");
    EXPECT_STREQ(shm_vtype_name(0xCC), "?");
    EXPECT_STREQ(shm_mode_name(1), "run");
    EXPECT_STREQ(shm_mode_name(3), "fault");
    EXPECT_STREQ(shm_mode_name(4), "unknown");
}

TEST(ShmOpen, ReopenWithSameCountsKeepsValuesAndClearsConnected) {
    ShmName n;
    ShmHandle h;
    ASSERT_EQ(shm_open_rw(n.c_str(), 4, 3, 1, &h), 0);
    shm_update_analog(&h, 2, 1, 99, 12.75);
    shm_set_connected(&h, 1);
    shm_poll_done(&h, 5000);
    shm_close(&h);

    ASSERT_EQ(shm_open_rw(n.c_str(), 4, 3, 1, &h), 0);
    EXPECT_EQ(shm_analog(&h, 2)->value, 12.75);
    EXPECT_EQ(shm_analog(&h, 2)->ts_ms, 99);
    EXPECT_EQ(shm_header(&h)->connected, 0u);
    EXPECT_EQ(shm_header(&h)->poll_count, 1u);
    shm_close(&h);
}

TEST(ShmOpen, ReopenWithOtherCountsZeroesAndNeverShrinks) {
    ShmName n;
    ShmHandle a;
    ASSERT_EQ(shm_open_rw(n.c_str(), 10, 10, 2, &a), 0);
    // Non-zero bytes everywhere a region could move to.
    memset(a.base + 120, 0x5A, a.size - 120);

    ShmHandle b;
    ASSERT_EQ(shm_open_rw(n.c_str(), 20, 2, 1, &b), 0);
    EXPECT_EQ(shm_an_count(&b), 20u);
    EXPECT_EQ(shm_di_count(&b), 10u);
    EXPECT_EQ(shm_plc_count(&b), 2u);
    EXPECT_EQ(n.real_size(), (long long)shm_total_size(20, 10, 2));
    for (size_t i = 120; i < b.size; i++)
        ASSERT_EQ(b.base[i], 0) << "byte " << i;
    for (uint32_t i = 0; i < 10; i++)
        EXPECT_FALSE(shm_write_pending(shm_di_write_slot(&b, i)));

    // The first mapping still works (no SIGBUS): the object only grew.
    EXPECT_EQ(a.base[a.size - 1], 0);

    // A smaller request later does not shrink it either.
    ShmHandle c;
    ASSERT_EQ(shm_open_rw(n.c_str(), 1, 1, 0, &c), 0);
    EXPECT_EQ(n.real_size(), (long long)shm_total_size(20, 10, 2));
    EXPECT_EQ(shm_an_count(&c), 20u);
    shm_close(&a);
    shm_close(&b);
    shm_close(&c);
}

TEST(ShmOpen, ForeignObjectIsZeroedWhole) {
    ShmName n;
    int fd = shm_open(n.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    std::string junk(400, '\x77');
    ASSERT_EQ(write(fd, junk.data(), junk.size()), 400);
    close(fd);
    ShmHandle h;
    ASSERT_EQ(shm_open_rw(n.c_str(), 2, 2, 0, &h), 0);
    EXPECT_TRUE(shm_check_magic(&h));
    EXPECT_EQ(shm_analog(&h, 1)->value, 0.0);
    EXPECT_EQ(shm_header(&h)->poll_count, 0u);
    EXPECT_EQ(n.real_size(), 400);  // not shrunk
    shm_close(&h);
}

TEST(ShmOpen, BadNamesAreRefused) {
    ShmHandle h;
    EXPECT_EQ(shm_open_rw("no_slash", 1, 1, 0, &h), -1);
    EXPECT_EQ(shm_open_rw("/a/b", 1, 1, 0, &h), -1);
    EXPECT_EQ(shm_open_rw(nullptr, 1, 1, 0, &h), -1);
    EXPECT_EQ(shm_open_rw(("/" + std::string(127, 'x')).c_str(), 1, 1, 0, &h), -1);
    EXPECT_EQ(h.base, nullptr);
}

TEST(ShmOpen, FullLengthNameFitsTheHandle) {
    ShmName n;
    std::string name = n.name + "_" + std::string(127 - n.name.size() - 1, 'n');
    ASSERT_EQ(name.size(), 127u);
    ShmHandle w, r;
    ASSERT_EQ(shm_open_rw(name.c_str(), 1, 1, 0, &w), 0);
    ASSERT_EQ(shm_handle_open(&r, name.c_str(), false), 0);
    EXPECT_EQ(std::string(r.name), name);
    shm_close(&w);
    shm_handle_close(&r);
    shm_unlink(name.c_str());
}

TEST(ShmAttach, CountsMustCoverTheRequest) {
    ShmName n;
    ShmHandle w, a;
    ASSERT_EQ(shm_open_rw(n.c_str(), 10, 5, 2, &w), 0);
    EXPECT_EQ(shm_attach_rw(n.c_str(), 10, 6, 2, &a), -1);
    EXPECT_EQ(a.status, SHM_ERR_COUNTS);
    EXPECT_EQ(a.fd, -1);
    EXPECT_EQ(shm_attach_rw(n.c_str(), 3, 4, 1, &a), 0);
    EXPECT_EQ(a.size, 951u);
    // The attached handle sees the object's counts, not the requested ones.
    shm_update_analog(&a, 9, 1, 1, 3.0);
    EXPECT_EQ(shm_analog(&w, 9)->value, 3.0);
    shm_close(&a);
    shm_close(&w);

    ShmName missing;
    EXPECT_EQ(shm_attach_rw(missing.c_str(), 0, 0, 0, &a), -1);
    EXPECT_EQ(a.status, SHM_ERR_MISSING);
}

TEST(ShmAttach, HeaderThatLiesIsRefused) {
    ShmName n;
    ShmHandle w, r;
    ASSERT_EQ(shm_open_rw(n.c_str(), 10, 5, 2, &w), 0);
    ShmHeader *hd = shm_header(&w);

    hd->total_size = 100000;  // beyond the real object
    EXPECT_EQ(shm_handle_open(&r, n.c_str(), false, SHM_MSG_NONE), -1);
    EXPECT_EQ(r.status, SHM_ERR_LAYOUT);
    hd->total_size = 100;
    EXPECT_EQ(shm_handle_open(&r, n.c_str(), false, SHM_MSG_NONE), -1);
    hd->total_size = 951;
    hd->plc_off += 8;  // offsets not those of the counts
    EXPECT_EQ(shm_attach_rw(n.c_str(), 0, 0, 0, &r), -1);
    EXPECT_EQ(r.status, SHM_ERR_LAYOUT);
    hd->plc_off -= 8;
    hd->an_count = 11;  // counts do not fit the size
    EXPECT_EQ(shm_handle_open(&r, n.c_str(), true, SHM_MSG_NONE), -1);
    hd->an_count = 10;
    EXPECT_EQ(shm_handle_open(&r, n.c_str(), true, SHM_MSG_NONE), 0);
    EXPECT_EQ(r.size, 951u);
    shm_handle_close(&r);
    shm_close(&w);
}

TEST(ShmReader, VersionFiveIsRefusedWithOneMessage) {
    ShmName n;
    ShmHandle w;
    ASSERT_EQ(shm_open_rw(n.c_str(), 2, 2, 0, &w), 0);
    shm_header(&w)->version = 5;
    tsup::TempDir dir;
    std::string errfile = dir / "stderr";
    pid_t pid = fork();
    if (pid == 0) {
        // A fresh process: the message is printed once per process.
        FILE *f = freopen(errfile.c_str(), "w", stderr);
        if (!f) _exit(3);
        ShmHandle r;
        int rc1 = shm_handle_open(&r, n.c_str(), true, SHM_MSG_SERVER);
        int st1 = r.status;
        int rc2 = shm_handle_open(&r, n.c_str(), true, SHM_MSG_SERVER);
        _exit(rc1 == -1 && rc2 == -1 && st1 == SHM_ERR_MISMATCH && r.base == nullptr ? 0 : 4);
    }
    ASSERT_EQ(wait_child(pid), 0);
    std::string err = tsup::read_file(errfile);
    std::string expect = "shm_handle_open(" + n.name +
                         "): magic/version mismatch (magic 0xA11CB501, version 5, binary expects "
                         "6) — rebuild/restart the whole stack together\n";
    EXPECT_EQ(err, expect);

    pid = fork();
    if (pid == 0) {
        FILE *f = freopen(errfile.c_str(), "w", stderr);
        if (!f) _exit(3);
        ShmHandle r;
        shm_handle_open(&r, n.c_str(), false, SHM_MSG_ALARM);
        shm_handle_open(&r, n.c_str(), false, SHM_MSG_ALARM);
        _exit(0);
    }
    ASSERT_EQ(wait_child(pid), 0);
    EXPECT_EQ(tsup::read_file(errfile),
              "[alarm] SHM " + n.name +
                  " magic/version mismatch (version 5, binary expects 6) — rebuild whole stack\n");
    shm_close(&w);
}

TEST(ShmReader, ReadOnlyHandleNeverWrites) {
    ShmName n;
    ShmHandle w, r;
    ASSERT_EQ(shm_open_rw(n.c_str(), 2, 2, 1, &w), 0);
    ASSERT_EQ(shm_handle_open(&r, n.c_str(), false), 0);
    EXPECT_FALSE(r.writable);
    shm_update_analog(&r, 1, 1, 1, 5.0);  // ignored, would fault otherwise
    EXPECT_EQ(shm_analog(&w, 1)->value, 0.0);
    shm_update_analog(&w, 1, 1, 1, 5.0);
    EXPECT_EQ(shm_analog(&r, 1)->value, 5.0);
    EXPECT_TRUE(shm_check_magic(&r));
    shm_header(&w)->version = 7;
    EXPECT_FALSE(shm_check_magic(&r));
    shm_handle_close(&r);
    EXPECT_EQ(r.base, nullptr);
    EXPECT_EQ(r.size, 0u);
    shm_close(&w);
}

TEST(ShmAccess, IndicesOutsideTheCountsAreIgnored) {
    ShmName n;
    ShmHandle h;
    ASSERT_EQ(shm_open_rw(n.c_str(), 3, 2, 1, &h), 0);
    EXPECT_EQ(shm_analog(&h, -1), nullptr);
    EXPECT_EQ(shm_analog(&h, 3), nullptr);
    EXPECT_NE(shm_analog(&h, 2), nullptr);
    EXPECT_EQ(shm_discrete(&h, 2), nullptr);
    EXPECT_EQ(shm_an_write_slot(&h, 3), nullptr);
    EXPECT_EQ(shm_di_write_slot(&h, -5), nullptr);
    EXPECT_EQ(shm_plc(&h, 1), nullptr);
    EXPECT_EQ(shm_an_vtype(&h, 3), nullptr);
    EXPECT_EQ(shm_di_vtype(&h, 2), nullptr);
    std::vector<uint8_t> before(h.base, h.base + h.size);
    shm_update_analog(&h, 3, 1, 1, 1.0);
    shm_update_analog(&h, -1, 1, 1, 1.0);
    shm_update_discrete(&h, 2, 1, 1, 1);
    shm_set_an_vtype(&h, 3, 0xCA);
    shm_set_di_vtype(&h, INT64_MAX, 0xC1);
    EXPECT_EQ(std::vector<uint8_t>(h.base, h.base + h.size), before);
    shm_close(&h);
    EXPECT_EQ(shm_analog(&h, 0), nullptr);
    EXPECT_EQ(shm_header(&h), nullptr);
    shm_update_analog(&h, 0, 1, 1, 1.0);  // closed: nothing happens
    EXPECT_EQ(shm_an_count(&h), 0u);
}

TEST(ShmWriteSlot, LastRequestWinsAndATakeEmptiesTheSlot) {
    ShmWriteSlot s{};
    double v = -1;
    EXPECT_FALSE(shm_take_write(&s, &v));
    shm_post_write(&s, 1.0);
    shm_post_write(&s, 2.0);
    EXPECT_TRUE(shm_write_pending(&s));
    EXPECT_TRUE(shm_take_write(&s, &v));
    EXPECT_EQ(v, 2.0);
    EXPECT_FALSE(shm_take_write(&s, &v));
    // A request posted while the taken one is being carried out stays.
    shm_post_write(&s, 3.0);
    EXPECT_TRUE(shm_take_write(&s, &v));
    EXPECT_EQ(v, 3.0);
    // A stray byte in pending is cleared but is no request.
    s.pending = 0x5A;
    EXPECT_FALSE(shm_take_write(&s, &v));
    EXPECT_EQ(s.pending, 0);
}

TEST(ShmWriteSlot, RequestsCrossProcessesWholeAndTheLastIsNeverLost) {
    ShmName n;
    ShmHandle w;
    ASSERT_EQ(shm_open_rw(n.c_str(), 2, 0, 0, &w), 0);
    constexpr int kPosts = 200000;
    pid_t pid = fork();
    if (pid == 0) {
        // Servant in another process with its own mapping.
        ShmHandle s;
        if (shm_attach_rw(n.c_str(), 2, 0, 0, &s) != 0) _exit(2);
        ShmWriteSlot *slot = shm_an_write_slot(&s, 1);
        double last = 0, v;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (last != kPosts) {
            if (std::chrono::steady_clock::now() > deadline) _exit(3);
            if (!shm_take_write(slot, &v)) continue;
            // Whole values only, never older than one already taken.
            if (v != std::floor(v) || v < 1 || v > kPosts || v < last) _exit(4);
            last = v;
        }
        _exit(0);
    }
    ShmWriteSlot *slot = shm_an_write_slot(&w, 1);
    for (int i = 1; i <= kPosts; i++)
        shm_post_write(slot, double(i));
    EXPECT_EQ(wait_child(pid), 0);
    // The servant may read the last value between the requester's value store
    // and its flag store; the flag then stays set and a later take repeats that
    // same last value, never an older one.
    double v = 0;
    if (shm_take_write(slot, &v)) EXPECT_EQ(v, double(kPosts));
    EXPECT_FALSE(shm_write_pending(slot));
    shm_close(&w);
}

TEST(ShmClock, RequestAndCompletionAcrossProcesses) {
    ShmName n;
    ShmHandle w;
    ASSERT_EQ(shm_open_rw(n.c_str(), 0, 0, 2, &w), 0);
    pid_t pid = fork();
    if (pid == 0) {
        ShmHandle s;
        if (shm_attach_rw(n.c_str(), 0, 0, 2, &s) != 0) _exit(2);
        ShmHeader *hd = shm_header(&s);
        int served = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (served < 100) {
            if (std::chrono::steady_clock::now() > deadline) _exit(3);
            uint32_t req;
            for (bool sync : {false, true}) {
                if (!shm_time_pending(&s, sync, &req)) continue;
                hd->time_rc = int32_t(hd->time_plc);
                hd->plc_time_us = int64_t(req) * 1000 + (sync ? 1 : 0);
                shm_time_complete(&s, sync, req);
                served++;
            }
        }
        _exit(0);
    }
    ShmHeader *hd = shm_header(&w);
    for (int i = 0; i < 100; i++) {
        bool sync = i % 2;
        uint32_t plc = uint32_t(i % 2);
        uint32_t req = shm_time_request(&w, plc, sync);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (shm_time_done(&w, sync) != req) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        }
        EXPECT_EQ(hd->time_rc, int32_t(plc));
        EXPECT_EQ(hd->plc_time_us, int64_t(req) * 1000 + (sync ? 1 : 0));
    }
    EXPECT_EQ(wait_child(pid), 0);
    EXPECT_EQ(hd->time_read_done, 50u);
    EXPECT_EQ(hd->time_sync_done, 50u);
    shm_close(&w);
}

TEST(ShmLiveness, KeepaliveMovesOnlyAfterASecond) {
    ShmName n;
    ShmHandle h;
    ASSERT_EQ(shm_open_rw(n.c_str(), 0, 0, 0, &h), 0);
    EXPECT_TRUE(shm_keepalive(&h, 10000));
    EXPECT_EQ(shm_header(&h)->connected, 1u);
    EXPECT_EQ(shm_header(&h)->last_poll_ms, 10000);
    EXPECT_EQ(shm_header(&h)->poll_count, 1u);
    EXPECT_FALSE(shm_keepalive(&h, 10999));
    EXPECT_TRUE(shm_keepalive(&h, 11000));
    EXPECT_EQ(shm_header(&h)->poll_count, 2u);
    shm_close(&h);
}

TEST(ShmNames, ResolutionOrder) {
    const char *saved = getenv("LOGIX_SHM_NAME");
    std::string keep = saved ? saved : "";
    unsetenv("LOGIX_SHM_NAME");
    EXPECT_EQ(shm_resolve_name(nullptr), "/logix_drv");
    EXPECT_EQ(shm_resolve_name("/plant"), "/plant");
    EXPECT_EQ(shm_resolve_name("plant"), "/logix_drv");
    EXPECT_EQ(shm_resolve_name("/a/b"), "/logix_drv");
    EXPECT_EQ(shm_resolve_name("/"), "/logix_drv");
    setenv("LOGIX_SHM_NAME", "", 1);
    EXPECT_EQ(shm_resolve_name("/plant"), "/plant");
    setenv("LOGIX_SHM_NAME", "/logix_drv_boiler1", 1);
    EXPECT_EQ(shm_resolve_name("/plant"), "/logix_drv_boiler1");
    if (saved)
        setenv("LOGIX_SHM_NAME", keep.c_str(), 1);
    else
        unsetenv("LOGIX_SHM_NAME");

    EXPECT_EQ(shm_supervisor_name("/logix_drv", "boiler1"), "/logix_drv_boiler1");
    EXPECT_EQ(shm_supervisor_name("bad", "boiler1"), "/logix_drv_boiler1");
    EXPECT_EQ(shm_supervisor_name("/shm", ""), "/shm");
    std::string long_prefix = "/" + std::string(80, 'p');
    std::string long_project(80, 'q');
    std::string name = shm_supervisor_name(long_prefix.c_str(), long_project.c_str());
    EXPECT_EQ(name, long_prefix.substr(0, 63) + "_" + long_project.substr(0, 63));
    EXPECT_EQ(name.size(), 127u);
}
