// The reference zqnet's export and package verbs with stand-ins for
// exportfs, smbcontrol, smbpasswd, apt-get and id on its search path.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/proc.h"

namespace {

using tsup::read_file;
using tsup::write_file;

struct share_env {
    tsup::TempDir tmp{"zqnetshare"};
    std::string bin = tmp.path + "/bin", dir = tmp.path + "/data", log = tmp.path + "/cmds.log",
                exports = tmp.path + "/exports.d", smb_d = tmp.path + "/smb.d",
                smb_conf = tmp.path + "/smb.conf";
    share_env() {
        mkdir(bin.c_str(), 0755);
        mkdir(dir.c_str(), 0755);
        for (const char *tool : {"exportfs", "smbcontrol", "apt-get", "id"}) {
            write_file(bin + "/" + tool,
                       std::string("#!/bin/sh\necho \"") + tool + " $*\" >>" + log + "\n");
            chmod((bin + "/" + tool).c_str(), 0755);
        }
        write_file(bin + "/smbpasswd",
                   "#!/bin/sh\necho \"smbpasswd $*\" >>" + log + "\ncat >>" + log + "\n");
        chmod((bin + "/smbpasswd").c_str(), 0755);
        write_file(smb_conf, "[global]\n");
    }
    tsup::RunResult run(std::vector<std::string> args, const std::string &input = "") {
        args.insert(args.begin(), std::string(ZQ_BIN_DIR) + "/zqnet");
        std::vector<std::string> env = {"ZQNET_PATH=" + bin + ":/usr/bin:/bin",
                                        "ZQNET_EXPORTS_D=" + exports, "ZQNET_SMB_D=" + smb_d,
                                        "ZQNET_SMB_CONF=" + smb_conf};
        if (input.empty()) return tsup::run({.argv = args, .env = env}, 20000);
        write_file(tmp.path + "/in", input);
        args.insert(args.begin(), {"/bin/sh", "-c", "exec \"$@\" <" + tmp.path + "/in", "sh"});
        return tsup::run({.argv = args, .env = env}, 20000);
    }
    std::string cmds() { return read_file(log); }
};

}  // namespace

TEST(ZqnetShares, ExportsSharesAndPackages) {
    share_env z;
    auto r = z.run({"share-nfs", "pub", z.dir, "ro", "10.0.0.0/8,host1"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(z.exports + "/zq-pub.exports"),
              z.dir + " 10.0.0.0/8(ro,sync,no_subtree_check) host1(ro,sync,no_subtree_check)\n");
    EXPECT_NE(z.cmds().find("exportfs -ra"), std::string::npos);
    EXPECT_EQ(z.run({"unshare-nfs", "pub"}).status, 0);
    EXPECT_EQ(read_file(z.exports + "/zq-pub.exports"), "");

    r = z.run({"share-smb", "win", z.dir, "rw", "*", "bob"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(read_file(z.smb_d + "/win.conf").find("valid users = bob"), std::string::npos);
    EXPECT_EQ(z.run({"share-smb", "w2", z.dir, "ro", "*"}).status, 0);
    std::string conf = read_file(z.smb_conf);
    EXPECT_EQ(conf.find("include = "), conf.rfind("include = ")) << "included once: " << conf;
    EXPECT_NE(read_file(z.smb_d + ".conf").find(z.smb_d + "/w2.conf"), std::string::npos);

    r = z.run({"smb-user", "bob"}, "p w\n");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(z.cmds().find("smbpasswd -s -a bob\np w\np w\n"), std::string::npos) << z.cmds();

    r = z.run({"pkg-install", "smb-server"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(z.cmds().find("apt-get -y -q install --no-install-recommends samba"),
              std::string::npos)
        << z.cmds();
}

TEST(ZqnetShares, BadArgumentsNeverReachTheTools) {
    share_env z;
    const std::vector<std::vector<std::string>> bad = {
        {"share-nfs", "pub", z.dir + "/../etc", "ro", "*"},
        {"share-nfs", "pub", "data", "ro", "*"},
        {"share-nfs", "pub", z.dir, "ro", "*(rw,no_root_squash)"},
        {"share-nfs", "../x", z.dir, "ro", "*"},
        {"share-smb", "w", z.dir, "rw", "*", "-bob"},
        {"share-smb", "w", z.dir + "]", "rw", "*"},
        {"pkg-install", "samba"},
        {"pkg-remove", "nfs-client;x"},
    };
    for (const auto &args : bad) {
        auto r = z.run(args);
        EXPECT_NE(r.status, 0) << args[0] << " " << args[2];
    }
    EXPECT_EQ(z.cmds(), "");
}
