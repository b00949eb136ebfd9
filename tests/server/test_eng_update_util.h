#pragma once
// A zqserver whose installation folder (ZQSTACK_DIR) holds the test-key
// updater, as an installed stack has it: root-owned and set-user-ID when
// the tests run as root; otherwise owned by the test user and served by
// the test build of zqserver, which accepts that.

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "eng_test_util.h"
#include "tests/updater/upd_test_util.h"

namespace updtest {

using namespace engtest;

enum updater_kind { NO_UPDATER, PLAIN_UPDATER, SETUID_UPDATER };

struct update_site {
    tsup::TempDir stack{"upd_stack"}, logs{"upd_logs"};
    eng_server srv;

    explicit update_site(updater_kind kind, const std::string &scada_extra = "",
                         const std::string &extra = "")
        : srv(scada_extra, extra) {
        chmod(stack.path.c_str(), 0755);
        write_file(stack / "zqsup", "old zqsup");
        chmod((stack / "zqsup").c_str(), 0755);
        mkdir((stack / "www-sys").c_str(), 0755);
        write_file(stack / "www-sys/index.html", "old page");
        if (kind != NO_UPDATER) {
            write_file(stack / "zqupdate", read_file(ZQ_UPD_TEST_EXE));
            if (geteuid() == 0 && chown((stack / "zqupdate").c_str(), 0, 0) != 0) return;
            chmod((stack / "zqupdate").c_str(), kind == SETUID_UPDATER ? 04755 : 0755);
        }
        if (geteuid() != 0) srv.exe = ZQ_SERVER_UPDTEST;
        srv.env = {"ZQUPD_LOG=" + (logs / "zqupdate.log")};
    }
    bool start() { return srv.start("", stack.path); }

    std::string state() { return member(srv.eget("/api/eng/update/status").body, "state"); }
    std::string status() { return srv.eget("/api/eng/update/status").body; }
    // The status once the updater started after `before` was read has
    // finished ("" when it did not in time).
    std::string finished_status(const std::string &before) {
        std::string body;
        bool done = wait_for(
            [&] {
                body = status();
                std::string s = member(body, "state");
                return body != before && (s == "ok" || s == "error");
            },
            60000);
        return done ? body : "";
    }
    std::string updater_log() const { return read_file(logs / "zqupdate.log"); }
};

// Server temporary files in /tmp holding exactly `data`.
inline int tmp_copies_of(const std::string &data) {
    int n = 0;
    DIR *d = opendir("/tmp");
    if (!d) return -1;
    while (struct dirent *de = readdir(d)) {
        std::string name = de->d_name;
        if (name.rfind("zqupd_", 0) == 0 && read_file("/tmp/" + name) == data) n++;
    }
    closedir(d);
    return n;
}

// A distribution of the stack; the noise keeps it past the server's
// smallest accepted upload once compressed.
inline std::string release_run(const std::string &version, const std::string &zqsup) {
    std::string noise(6000, '\0');
    unsigned x = 12345;
    for (char &ch : noise) {
        x = x * 1103515245u + 12345u;
        ch = (char)(x >> 16);
    }
    return updt::good_run({{"zqsup", zqsup},
                           {"zqnoise", noise},
                           {"www-sys", "", updt::DIR},
                           {"www-sys/index.html", "page of " + version}},
                          version);
}

}  // namespace updtest
