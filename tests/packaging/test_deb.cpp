// The Debian package as an administrator gets it: built from this tree by
// packaging/make_deb.sh, looked at with dpkg-deb and unpacked into a
// scratch root; and its systemd unit checked by systemd-analyze.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/proc.h"

namespace {

using tsup::read_file;

struct Entry {
    std::string mode, owner;
};

std::string g_deb, g_tmp;

std::string dpkg_deb(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"dpkg-deb"};
    argv.insert(argv.end(), args.begin(), args.end());
    tsup::RunResult r = tsup::run({.argv = argv});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// path ("./opt/zqstack/zqsup") -> mode and owner, from dpkg-deb -c.
std::map<std::string, Entry> contents() {
    std::map<std::string, Entry> m;
    std::istringstream in(dpkg_deb({"-c", g_deb}));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string mode, owner, size, date, time, path;
        if (!(ls >> mode >> owner >> size >> date >> time >> path)) continue;
        if (path.size() > 1 && path.back() == '/') path.pop_back();
        m[path] = {mode, owner};
    }
    return m;
}

void check_files_modes_owners() {
    std::map<std::string, Entry> c = contents();
    const std::string s = "./opt/zqstack/";
    for (const char *prog : {"zqsup", "zqlogix", "zqtrend", "zqserver", "zqalarm", "zqcalc",
                             "zqmqtt", "zqshm", "zqst", "zqtrend-dump"}) {
        ASSERT_TRUE(c.count(s + prog)) << prog;
        EXPECT_EQ(c[s + prog].mode, "-rwxr-xr-x") << prog;
    }
    // Set-user-ID root for the group postinst gives it; nobody else may run it.
    ASSERT_TRUE(c.count(s + "zqupdate"));
    EXPECT_EQ(c[s + "zqupdate"].mode, "-rwsr-x---");
    EXPECT_EQ(c[s + "www-sys/eng/index.html"].mode, "-rw-r--r--");
    EXPECT_EQ(c[s + "www-sys/alarms.html"].mode, "-rw-r--r--");
    EXPECT_EQ(c["./lib/systemd/system/zqstack@.service"].mode, "-rw-r--r--");
    EXPECT_EQ(c["./etc/default/zqstack"].mode, "-rw-r--r--");
    EXPECT_EQ(c["./var/lib/zqstack"].mode, "drwxr-xr-x");
    // The simulator and the tests stay in the build.
    EXPECT_FALSE(c.count(s + "zqplcsim"));
    EXPECT_EQ(c["."].mode, "drwxr-xr-x");
    for (auto &[path, e] : c) {
        EXPECT_EQ(e.owner, "root/root") << path;
        bool ours = path == "." || path.rfind("./opt", 0) == 0 || path.rfind("./lib", 0) == 0 ||
                    path.rfind("./etc", 0) == 0 || path.rfind("./var", 0) == 0 ||
                    path.rfind("./usr/share/doc/zqstack", 0) == 0 || path == "./usr" ||
                    path == "./usr/share" || path == "./usr/share/doc";
        EXPECT_TRUE(ours) << "unexpected path " << path;
        EXPECT_NE(e.mode[8], 'w') << "world-writable " << path;
    }
}

void check_control_and_scripts() {
    std::string dep = dpkg_deb({"-f", g_deb, "Depends"});
    for (const char *p : {"libssl3", "zlib1g", "libarchive13", "tar", "curl", "unzip", "passwd"})
        EXPECT_NE(dep.find(p), std::string::npos) << p << " missing in " << dep;
    EXPECT_EQ(dpkg_deb({"-f", g_deb, "Package"}), "zqstack\n");
    std::string ctl = g_tmp + "/control";
    dpkg_deb({"-e", g_deb, ctl});
    std::string postinst = read_file(ctl + "/postinst");
    EXPECT_NE(postinst.find("useradd --system"), std::string::npos);
    EXPECT_NE(postinst.find("add root zqstack 4750 /opt/zqstack/zqupdate"), std::string::npos);
    EXPECT_EQ(read_file(ctl + "/conffiles"), "/etc/default/zqstack\n");
    for (const char *script : {"postinst", "prerm", "postrm"}) {
        EXPECT_EQ(tsup::run({.argv = {"sh", "-n", ctl + "/" + script}}).status, 0) << script;
        struct stat st;
        ASSERT_EQ(stat((ctl + "/" + script).c_str(), &st), 0);
        EXPECT_TRUE(st.st_mode & S_IXUSR) << script;
    }
}

void check_unpacked_root() {
    std::string r = g_tmp + "/root";
    dpkg_deb({"-x", g_deb, r});
    tsup::RunResult v = tsup::run({.argv = {r + "/opt/zqstack/zqsup", "--version"}});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("zqsup ", 0), 0u) << v.out;
    struct stat st;
    ASSERT_EQ(stat((r + "/opt/zqstack/zqupdate").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 04750u);
    std::string unit = read_file(r + "/lib/systemd/system/zqstack@.service");
    EXPECT_NE(unit.find("ExecStart=/opt/zqstack/zqsup ${ZQSTACK_PROJECTS}/%i"), std::string::npos);
    EXPECT_NE(read_file(r + "/etc/default/zqstack").find("ZQSTACK_PROJECTS=/var/lib/zqstack"),
              std::string::npos);
    EXPECT_EQ(unit.find("@PREFIX@"), std::string::npos);
}

// One build of the package (a few minutes on a busy machine), then what
// an administrator looks at.
TEST(Deb, BuildsWithItsFilesDependenciesAndScripts) {
    tsup::TempDir tmp("deb");
    g_tmp = tmp.path;
    tsup::RunResult r = tsup::run({.argv = {std::string(ZQ_SOURCE_DIR) + "/packaging/make_deb.sh",
                                            std::string(ZQ_BIN_DIR) + "/..", g_tmp + "/out"},
                                   .env = {"ZQ_DEB_COMPRESS=none"}},
                                  280000);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    g_deb = r.out.substr(0, r.out.find('\n'));
    {
        SCOPED_TRACE("file list");
        check_files_modes_owners();
    }
    {
        SCOPED_TRACE("control");
        check_control_and_scripts();
    }
    {
        SCOPED_TRACE("scratch root");
        check_unpacked_root();
    }
}

// The unit as systemd reads it, with the stack folder pointing at this
// build so the program it names exists.
TEST(Unit, PassesSystemdAnalyzeVerify) {
    // make test installs systemd (scripts/deps.d/packaging.txt): its absence is a failure.
    ASSERT_TRUE(access("/usr/bin/systemd-analyze", X_OK) == 0 ||
                access("/bin/systemd-analyze", X_OK) == 0)
        << "systemd-analyze is missing (package systemd)";
    tsup::TempDir tmp("unit");
    std::string text = read_file(std::string(ZQ_SOURCE_DIR) + "/packaging/zqstack@.service.in");
    ASSERT_FALSE(text.empty());
    for (auto [from, to] :
         {std::pair<std::string, std::string>{"@PREFIX@", ZQ_BIN_DIR}, {"@PROJECTS@", tmp.path}}) {
        for (size_t p; (p = text.find(from)) != std::string::npos;)
            text.replace(p, from.size(), to);
    }
    tsup::write_file(tmp.path + "/zqstack@.service", text);
    ASSERT_EQ(symlink("zqstack@.service", (tmp.path + "/zqstack@boiler.service").c_str()), 0);
    tsup::RunResult r = tsup::run(
        {.argv = {"systemd-analyze", "verify", "--man=no", tmp.path + "/zqstack@boiler.service"}});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err.find("zqstack@"), std::string::npos) << r.err;
    tsup::remove_tree(tmp.path);
}

}  // namespace
