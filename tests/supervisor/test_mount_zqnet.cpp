// The reference zqnet script with stand-ins for mount, umount, timedatectl
// and systemctl on its search path: the commands it gives for good
// arguments, and that bad ones never reach them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/proc.h"

namespace {

using tsup::read_file;
using tsup::write_file;

struct zqnet_env {
    tsup::TempDir tmp{"zqnetsh"};
    std::string bin = tmp.path + "/bin", mnt = tmp.path + "/mnt", cred = tmp.path + "/cred",
                log = tmp.path + "/cmds.log";
    zqnet_env() {
        mkdir(bin.c_str(), 0755);
        for (const char *tool : {"mount", "umount", "timedatectl", "systemctl"}) {
            write_file(bin + "/" + tool,
                       std::string("#!/bin/sh\necho \"") + tool + " $*\" >>" + log + "\n");
            chmod((bin + "/" + tool).c_str(), 0755);
        }
    }
    tsup::RunResult run(std::vector<std::string> args) {
        args.insert(args.begin(), std::string(ZQ_BIN_DIR) + "/zqnet");
        return tsup::run(
            {.argv = args,
             .env = {"ZQNET_PATH=" + bin + ":/usr/bin:/bin", "ZQ_MOUNT_ROOT=" + mnt,
                     "ZQNET_CRED_DIR=" + cred, "ZQNET_TIMESYNCD_CONF=" + tmp.path + "/ts/zq.conf"}},
            20000);
    }
    std::string cmds() { return read_file(log); }
};

}  // namespace

TEST(ZqnetScript, MountsWithTheSystemTools) {
    zqnet_env z;
    auto r = z.run({"mount-nfs", "nas1", "/export/t", "arch", "ro"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(
        z.cmds().find("mount -t nfs -o ro,soft,timeo=100,retrans=2,_netdev -- nas1:/export/t " +
                      z.mnt + "/arch"),
        std::string::npos)
        << z.cmds();
    struct stat st;
    EXPECT_EQ(stat((z.mnt + "/arch").c_str(), &st), 0);

    // SMB needs stored credentials first.
    r = z.run({"mount-smb", "//srv/share", "win", "rw", "win"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "no credentials win\n");
    write_file(z.tmp.path + "/in", "DOM\\eng\np w\n");
    r = tsup::run({.argv = {"/bin/sh", "-c", "exec \"$0\" cred-write win <\"$1\"",
                            std::string(ZQ_BIN_DIR) + "/zqnet", z.tmp.path + "/in"},
                   .env = {"ZQNET_CRED_DIR=" + z.cred}});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(z.cred + "/win"), "username=DOM\\eng\npassword=p w\n");
    ASSERT_EQ(stat((z.cred + "/win").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    r = z.run({"mount-smb", "//srv/share", "win", "rw", "win", "SRV"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(z.cmds().find("mount -t cifs -o rw,credentials=" + z.cred +
                            "/win,iocharset=utf8,servern=SRV -- //srv/share " + z.mnt + "/win"),
              std::string::npos)
        << z.cmds();

    r = z.run({"umount", "arch"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(z.cmds().find("umount -- " + z.mnt + "/arch"), std::string::npos);
}

TEST(ZqnetScript, BadArgumentsNeverReachTheTools) {
    zqnet_env z;
    std::vector<std::vector<std::string>> bad = {
        {"mount-nfs", "-oexec", "/x", "n", "rw"},
        {"mount-nfs", "nas", "x", "n", "rw"},
        {"mount-nfs", "nas", "/x y", "n", "rw"},
        {"mount-nfs", "nas", "/x\n", "n", "rw"},
        {"mount-nfs", "nas", "/x", "../n", "rw"},
        {"mount-nfs", "nas", "/x", "n", "rx"},
        {"mount-nfs", "nas", "/x", "n"},
        {"mount-smb", "srv/share", "n", "rw", "n"},
        {"mount-smb", "//srv/s", "n", "rw", "n", "a,b"},
        {"umount", "a/b"},
        {"tz-set", "../../etc/passwd"},
        {"tz-set", "/etc/localtime"},
        {"tz-set", "Nowhere/City"},
        {"ntp-set", "2"},
        {"ntp-set", "1", "-x"},
        {"ntp-set", "1", "a b"},
        {"clock-set", "2024-01-01T00:00:00"},
        {"clock-set", "2024-01-01 00:00:00\nx"},
        {"reboot"},
    };
    for (const auto &args : bad) {
        auto r = z.run(args);
        EXPECT_NE(r.status, 0) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_FALSE(r.out.empty()) << "a failure says why";
    }
    EXPECT_EQ(z.cmds(), "");
}

TEST(ZqnetScript, TimeSettings) {
    zqnet_env z;
    EXPECT_EQ(z.run({"tz-set", "Europe/Kyiv"}).status, 0);
    EXPECT_EQ(z.run({"tz-set", "UTC"}).status, 0);
    EXPECT_EQ(z.run({"ntp-set", "1", "pool.ntp.org"}).status, 0);
    EXPECT_EQ(z.run({"ntp-set", "0"}).status, 0);
    EXPECT_EQ(z.run({"clock-set", "2024-02-29 12:00:00"}).status, 0);
    EXPECT_EQ(z.cmds(),
              "timedatectl set-timezone Europe/Kyiv\ntimedatectl set-timezone UTC\n"
              "systemctl try-restart systemd-timesyncd\ntimedatectl set-ntp true\n"
              "timedatectl set-ntp false\ntimedatectl set-time 2024-02-29 12:00:00\n");
    EXPECT_EQ(read_file(z.tmp.path + "/ts/zq.conf"), "[Time]\nNTP=pool.ntp.org\n");
}
