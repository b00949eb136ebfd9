// The alternate-path mirror driven by the recorder in the test's thread:
// alternates in the main's encoding end byte-equal to the main files,
// alternates in another encoding equal to what a main of that encoding
// writes, across midnight and a month end, through an unmounted share and
// past damaged or foreign files.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <memory>

#include "trend/trend_mirror.h"
#include "trend/trend_rec.h"
#include "trend/trend_v2.h"
#include "trend_test_util.h"

namespace {

// A project folder with channels, a recorder and its mirror.
struct Rig {
    tsup::TempDir dir{"mirror"};
    trend_config cfg;
    std::unique_ptr<trend_recorder> rec;
    trend_mirror *mirror = nullptr;
    trend_samples s;
    time_t now = 0;
    std::string mount_root, mounts;

    Rig(int main_fmt, const std::string &alt1, int fmt1, const std::string &alt2 = "",
        int fmt2 = 0) {
        cfg.mainpath = dir / "Trends/";
        cfg.main_fmt = main_fmt;
        cfg.altpath = alt1.empty() ? "" : alt1;
        cfg.alt_fmt = fmt1;
        cfg.altpath2 = alt2;
        cfg.alt2_fmt = fmt2;
        cfg.analogs = 4;
        cfg.discrets = 4;
        cfg.a_base_path = dir / "zqbridge.a.base";
        cfg.d_base_path = dir / "zqbridge.d.base";
        s.resize(4, 4);
        tsup::write_file(dir / "channels.json",
                         tt::channels_json({{1, "Температура", "°C", 0, 0, 0, 200},
                                            {2, "Тиск", "bar", 0, 1000, 0, 100}},
                                           {{1, "Насос"}, {2, "Клапан"}, {3, "Аварія"}}));
        mount_root = dir / "mnt";
        mounts = dir / "mounts";
        mkdir(mount_root.c_str(), 0755);
        tsup::write_file(mounts, "");
    }
    ~Rig() {
        if (mirror) trend_mirror_stop(mirror, 1000);
    }
    void start(bool with_mirror = true) {
        rec = std::make_unique<trend_recorder>();
        trend_base b;
        ASSERT_EQ(0, trend_base_read(&b, cfg.a_base_path.c_str(), cfg.d_base_path.c_str(),
                                     cfg.analogs, cfg.discrets));
        ASSERT_EQ(0, trend_rec_init(rec.get(), cfg, std::move(b)));
        if (!with_mirror) return;
        trend_mirror_opts o;
        o.main_dir = cfg.mainpath;
        o.alt[0] = cfg.altpath;
        o.alt[1] = cfg.altpath2;
        o.now_ms = [this] { return (int64_t)now * 1000; };
        o.mount_root = mount_root;
        o.proc_mounts = mounts;
        o.threads = false;
        mirror = trend_mirror_start(o);
        rec->mirror = mirror;
    }
    void values(time_t t) {
        s.an_raw[1] = (double)(t % 97);
        s.an_q[1] = 1;
        s.an_raw[2] = 500;
        s.an_q[2] = t % 7 != 0;
        s.an_vt[1] = 0xCA;
        s.an_vt[2] = 0xC3;
        s.di_val[1] = (t / 30) % 2;
        s.di_q[1] = 1;
        s.di_val[2] = 0;
        s.di_q[2] = 1;
        s.di_q[3] = 0;
    }
    // Ticks every second of [from, to]; the mirror's jobs run after each.
    void run(time_t from, time_t to, const std::function<void(time_t)> &each = nullptr) {
        for (time_t t = from; t <= to; t++) {
            now = t;
            if (each) each(t);
            values(t);
            trend_rec_tick(rec.get(), t, &s);
            if (mirror) trend_mirror_run(mirror);
        }
    }
    void stop() {
        trend_mirror_stop(mirror, 1000);
        mirror = nullptr;
        if (rec) rec->mirror = nullptr;
    }
};

// Regular files of a directory with their bytes (temporary files left out).
std::map<std::string, std::vector<uint8_t>> files_of(const std::string &dir) {
    std::map<std::string, std::vector<uint8_t>> out;
    for (const std::string &n : tsup::list_dir(dir))
        if (n.size() < 4 || n.compare(n.size() - 4, 4, ".tmp") != 0)
            out[n] = tsup::read_bytes(dir + "/" + n);
    return out;
}

void expect_same_dirs(const std::string &want, const std::string &got) {
    auto a = files_of(want), b = files_of(got);
    std::vector<std::string> na, nb;
    for (auto &kv : a)
        na.push_back(kv.first);
    for (auto &kv : b)
        nb.push_back(kv.first);
    ASSERT_EQ(na, nb) << want << " vs " << got;
    for (auto &kv : a)
        EXPECT_TRUE(kv.second == b[kv.first])
            << kv.first << ": " << kv.second.size() << " vs " << b[kv.first].size() << " bytes";
}

// The same samples recorded by a recorder whose main has the given format.
std::string reference_dir(int fmt, time_t from, time_t to) {
    static int n = 0;
    Rig *r = new Rig(fmt, "", 0);
    r->start(false);
    r->run(from, to);
    std::string out = tsup::temp_root() + "/zqtest-mirror-ref-" + std::to_string(getpid()) + "-" +
                      std::to_string(++n);
    tsup::remove_tree(out);
    EXPECT_EQ(0, rename((r->dir / "Trends").c_str(), out.c_str()));
    delete r;
    return out;
}

struct RefDir {
    std::string path;
    ~RefDir() { tsup::remove_tree(path); }
};

class MirrorFormats : public testing::TestWithParam<int> {};

// Main in one format: the first alternate in the same format is a byte copy,
// the second in the other format matches a main of that format.
TEST_P(MirrorFormats, AcrossMidnightAndMonthEnd) {
    tsup::ZoneGuard tz("Europe/Kyiv");
    int main_fmt = GetParam();
    int other = main_fmt == TREND_FMT_V2 ? TREND_FMT_V1_PACKED : TREND_FMT_V2;
    time_t from = tt::local_time(2026, 3, 31, 23, 57, 40), to = tt::local_time(2026, 4, 1, 0, 2, 5);
    RefDir ref{reference_dir(other, from, to)};
    Rig r(main_fmt, "", main_fmt, "", other);
    r.cfg.altpath = r.dir / "alt1/";
    r.cfg.altpath2 = r.dir / "alt2/";
    r.start();
    ASSERT_TRUE(trend_mirror_enabled(r.mirror, 0));
    r.run(from, to);
    r.stop();
    expect_same_dirs(r.dir / "Trends", r.dir / "alt1");
    expect_same_dirs(ref.path, r.dir / "alt2");
    // Both days and both months are there.
    auto alt2 = files_of(r.dir / "alt2");
    if (other == TREND_FMT_V2) {
        EXPECT_TRUE(alt2.count("2026033100.rph") && alt2.count("2026040100.rps"));
    } else {
        EXPECT_TRUE(alt2.count("26030100.rnh") && alt2.count("26040100.rph"));
        EXPECT_TRUE(alt2.count("26033100.rnm") && alt2.count("26040100.rns"));
    }
}

INSTANTIATE_TEST_SUITE_P(Main, MirrorFormats, testing::Values(TREND_FMT_V1_PACKED, TREND_FMT_V2));

// A share unmounted for two minutes across midnight: nothing lands under the
// bare mount point, each message appears once, and afterwards the copy is
// complete, the day's files made while it was away included.
TEST(MirrorOutage, UnmountedShareCatchesUpAcrossMidnight) {
    tsup::ZoneGuard tz("Europe/Kyiv");
    for (int fmt : {TREND_FMT_V1_PACKED, TREND_FMT_V2}) {
        Rig r(fmt, "", fmt);
        std::string share = r.mount_root + "/nas";
        r.cfg.altpath = share + "/trends/";
        mkdir(share.c_str(), 0755);
        std::string line = "//srv/x " + share + " cifs rw 0 0\n";
        tsup::write_file(r.mounts, "proc /proc proc rw 0 0\n" + line);
        r.start();
        time_t down = tt::local_time(2026, 6, 10, 23, 59, 10);
        time_t up = down + 120;
        testing::internal::CaptureStdout();
        r.run(tt::local_time(2026, 6, 10, 23, 58, 0), up + 75, [&](time_t t) {
            if (t == down) tsup::write_file(r.mounts, "proc /proc proc rw 0 0\n");
            if (t > down && t < up) {
                ASSERT_TRUE(trend_mirror_down(r.mirror, 0));
            }
            if (t == up) tsup::write_file(r.mounts, line);
        });
        r.stop();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(1u, tsup::count_of(out, "alt-path slot 0 unavailable")) << out;
        EXPECT_EQ(1u, tsup::count_of(out, "alt-path slot 0 reachable again")) << out;
        expect_same_dirs(r.dir / "Trends", share + "/trends");
    }
}

TEST(MirrorOutage, UnmountedShareGetsNoFiles) {
    Rig r(TREND_FMT_V1_PACKED, "", TREND_FMT_V1_PACKED);
    std::string share = r.mount_root + "/nas";
    mkdir(share.c_str(), 0755);
    r.cfg.altpath = share + "/trends/";
    r.start();
    testing::internal::CaptureStdout();
    r.run(tt::local_time(2026, 6, 10, 12, 0, 0), tt::local_time(2026, 6, 10, 12, 1, 30));
    r.stop();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(tsup::list_dir(share).empty());
    EXPECT_EQ(1u, tsup::count_of(out, "alt-path slot 0 unavailable")) << out;
}

// An alternate that is the main folder under another name would append
// every row twice to the main file.
TEST(MirrorRefusal, AlternateThatIsTheMainFolder) {
    Rig r(TREND_FMT_V1_PACKED, "", TREND_FMT_V1_PACKED, "", TREND_FMT_V1_PACKED);
    mkdir((r.dir / "Trends").c_str(), 0755);
    ASSERT_EQ(0, symlink((r.dir / "Trends").c_str(), (r.dir / "link").c_str()));
    r.cfg.altpath = r.dir / "link/";
    r.cfg.altpath2 = r.dir / "./Trends/.";
    testing::internal::CaptureStdout();
    r.start();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(trend_mirror_enabled(r.mirror, 0));
    EXPECT_FALSE(trend_mirror_enabled(r.mirror, 1));
    EXPECT_EQ(2u, tsup::count_of(out, "refused")) << out;
    r.run(tt::local_time(2026, 6, 10, 12, 0, 0), tt::local_time(2026, 6, 10, 12, 0, 59));
    EXPECT_EQ(60 * 4 * (2 + 1 + 1), tsup::file_size(r.dir / "Trends/26061000.rps"));

    Rig two(TREND_FMT_V1_PACKED, "", 3, "", 3);
    two.cfg.altpath = two.dir / "alt/";
    two.cfg.altpath2 = two.dir / "alt//";
    testing::internal::CaptureStdout();
    two.start();
    out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(trend_mirror_enabled(two.mirror, 0));
    EXPECT_FALSE(trend_mirror_enabled(two.mirror, 1)) << out;
}

std::string job_dir(const Rig &r) {
    return r.dir / "alt";
}

// What arrives in the alternate is never appended onto a foreign layout or
// past a torn row, and rows too big for a job are not lost.
TEST(MirrorFiles, ForeignAndDamagedFiles) {
    Rig r(TREND_FMT_V1_PACKED, "", TREND_FMT_V1_PACKED);
    r.cfg.altpath = job_dir(r) + "/";
    r.start();
    std::string alt = job_dir(r);
    mkdir(alt.c_str(), 0755);

    // A v2 file of another layout: an own-encoding alternate keeps it aside.
    v2_table t;
    trend_base b;
    ASSERT_EQ(0, trend_base_read(&b, r.cfg.a_base_path.c_str(), r.cfg.d_base_path.c_str(), 4, 4));
    uint8_t vt[4] = {0, 0xC3, 0xC3, 0};
    ASSERT_EQ(0, v2_table_build(&t, &b, vt, 4, vt, 4));
    ASSERT_EQ(0, v2_file_create((alt + "/x.rps").c_str(), 's', 20260610, 1000, &t));
    tsup::write_file(alt + "/x.rps", tsup::read_file(alt + "/x.rps") + "junkjunk");
    uint8_t vt2[4] = {0, 0xC4, 0xC3, 0};
    v2_table t2;
    ASSERT_EQ(0, v2_table_build(&t2, &b, vt2, 4, vt, 4));
    auto hdr =
        std::make_shared<const std::vector<uint8_t>>(v2_header_blob(&t2, 's', 20260610, 1000));
    trend_alt_job_ensure_v2(r.mirror, 0, alt.c_str(), (alt + "/x.rps").c_str(), hdr, t2.row_size,
                            "");
    trend_mirror_run(r.mirror);
    EXPECT_EQ(*hdr, tsup::read_bytes(alt + "/x.rps"));
    EXPECT_EQ((long long)hdr->size() + 8, tsup::file_size(alt + "/x.rps.old1"));
    // A row in the wrong layout is not appended.
    std::vector<uint8_t> row((size_t)t.row_size, 0);
    trend_alt_row how;
    how.fmt = 2;
    how.hdr_size = (int)hdr->size() + 160;
    how.row_size = t.row_size;
    trend_alt_job_append_indep(r.mirror, 0, 0, (alt + "/x.rps").c_str(), how, row.data(),
                               row.size());
    trend_mirror_run(r.mirror);
    EXPECT_EQ((long long)hdr->size(), tsup::file_size(alt + "/x.rps"));

    // A v1 minute file with a torn row: the row goes to its position.
    std::vector<uint32_t> cells = {6, 6, 6};
    tsup::write_file(alt + "/m.rpm", std::string(12 * 2 + 5, '\x06'));
    how = trend_alt_row{};
    how.fmt = 3;
    how.an_cells = 2;
    how.packed_cells = 1;
    how.row_index = 4;
    cells = {0x41200000, 0x41200000, 0xFFFFFFFC};
    trend_alt_job_append_indep(r.mirror, 0, 1, (alt + "/m.rpm").c_str(), how, cells.data(), 12);
    r.now = 1;
    trend_mirror_run(r.mirror);
    auto m = tsup::read_bytes(alt + "/m.rpm");
    ASSERT_EQ(60u, m.size());
    EXPECT_EQ(0xFFFFFFFFu, tt::u32(m, 12 * 3 - 4));  // padded row 2
    EXPECT_EQ(0xFFFFFFFCu, tt::u32(m, 56));

    // Rows larger than a job: the mirror takes them from the main file, an
    // own-encoding job keeps them whole.
    std::string big(20000, 'x');
    tsup::write_file(r.dir / "Trends/big.rps", big + big);
    tsup::write_file(alt + "/big.rps", big);
    trend_alt_job_append(r.mirror, 0, 0, (r.dir / "Trends/big.rps").c_str(),
                         (alt + "/big.rps").c_str(), 40000, big.data(), big.size());
    how = trend_alt_row{};
    how.fmt = 3;
    trend_alt_job_append_indep(r.mirror, 0, 1, (alt + "/own.rps").c_str(), how, big.data(),
                               big.size());
    trend_mirror_run(r.mirror);
    EXPECT_EQ(big + big, tsup::read_file(alt + "/big.rps"));
    EXPECT_EQ(big, tsup::read_file(alt + "/own.rps"));

    // A FIFO in place of a file fails the job instead of blocking the worker.
    ASSERT_EQ(0, mkfifo((alt + "/f.rps").c_str(), 0644));
    testing::internal::CaptureStdout();
    trend_alt_job_append(r.mirror, 0, 0, (r.dir / "Trends/big.rps").c_str(),
                         (alt + "/f.rps").c_str(), 40000, big.data(), 10);
    trend_mirror_run(r.mirror);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("alt-path slot 0 unavailable")) << out;
}

// Structural jobs beyond the queue are dropped with a message, yet the
// ensure steps among them still run.
TEST(MirrorFiles, FullStructuralQueueKeepsEnsures) {
    Rig r(TREND_FMT_V1_PACKED, "", TREND_FMT_V1_PACKED);
    r.cfg.altpath = r.dir / "alt/";
    r.start();
    auto base = std::make_shared<trend_base>();
    ASSERT_EQ(
        0, trend_base_read(base.get(), r.cfg.a_base_path.c_str(), r.cfg.d_base_path.c_str(), 4, 4));
    auto map = std::make_shared<trend_cmap>();
    trend_build_cmap(base.get(), map.get());
    testing::internal::CaptureStdout();
    for (int i = 0; i < 9; i++) {
        std::string stem = r.dir / ("alt/2606" + std::to_string(10 + i) + "00");
        trend_alt_job_ensure_v1(r.mirror, 0, 'm', (r.dir / "alt").c_str(), (stem + ".rnm").c_str(),
                                (stem + ".rpm").c_str(), base, map, true, false, "");
    }
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(1u, tsup::count_of(out, "structural queue full")) << out;
    testing::internal::CaptureStdout();
    trend_mirror_run(r.mirror);
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < 9; i++) {
        std::string stem = r.dir / ("alt/2606" + std::to_string(10 + i) + "00");
        EXPECT_EQ(90 * 6, tsup::file_size(stem + ".rnm")) << stem;
        EXPECT_EQ(0, tsup::file_size(stem + ".rpm")) << stem;
    }
}

TEST(MirrorMounts, MountTableAndPaths) {
    tsup::TempDir d("mounts");
    std::string f = d / "mounts";
    tsup::write_file(f,
                     "sysfs /sys sysfs rw 0 0\n"
                     "//srv/a\\040b /mnt/zq/my\\040share cifs rw 0 0\n"
                     "srv:/x /mnt/zq/nfs/ nfs4 rw 0 0");
    EXPECT_EQ(1, trend_mount_listed(f.c_str(), "/mnt/zq/my share"));
    EXPECT_EQ(1, trend_mount_listed(f.c_str(), "/mnt/zq/nfs"));
    EXPECT_EQ(0, trend_mount_listed(f.c_str(), "/mnt/zq/my"));
    EXPECT_EQ(0, trend_mount_listed(f.c_str(), "/mnt/zq"));
    EXPECT_EQ(-1, trend_mount_listed((d / "none").c_str(), "/mnt/zq/nfs"));
    EXPECT_EQ("/mnt/zq/nas", trend_mount_point_of("/mnt/zq/nas/trends/", "/mnt/zq/"));
    EXPECT_EQ("/mnt/zq/nas", trend_mount_point_of("/mnt/zq/nas", "/mnt/zq"));
    EXPECT_EQ("", trend_mount_point_of("/mnt/zqx/nas", "/mnt/zq"));
    EXPECT_EQ("", trend_mount_point_of("/mnt/zq/", "/mnt/zq"));
    EXPECT_EQ("", trend_mount_point_of("/srv/trends", "/mnt/zq"));
    mkdir((d / "real").c_str(), 0755);
    ASSERT_EQ(0, symlink((d / "real").c_str(), (d / "ln").c_str()));
    std::string real = trend_resolve_dir(d / "real");
    EXPECT_EQ(real + "/not/yet", trend_resolve_dir(d / "ln/not/yet/"));
    EXPECT_EQ(real, trend_resolve_dir(d / "ln/../real"));
}

}  // namespace
