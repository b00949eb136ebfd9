// Sends the same requests to two zqserver binaries (before and after a
// change) on identical copies of one project and database, and compares
// the raw answers byte for byte. Time-dependent fields and the build's
// version are masked. Built and run by compare_server_answers.sh.
//
// usage: compare_server_answers OLD_ZQSERVER NEW_ZQSERVER
// Exit 0 when every answer is the same but those expected to change.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "common/shm.h"
#include "tests/server/server_fixture.h"

namespace {

using namespace srvtest;

std::string req(const std::string &method, const std::string &target, const std::string &body = "",
                const std::string &headers = "") {
    std::string r = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers;
    if (!body.empty() || method == "POST")
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    return r + "\r\n" + body;
}

// The requests of one run. `big` is a request whose body is announced past
// the small limit.
std::vector<std::string> requests() {
    const std::string evil = "Origin: http://evil.example\r\n";
    const std::string ref = "Referer: http://other:1/screen1.html\r\n";
    const std::string same = "Origin: http://127.0.0.1\r\n";
    const std::string pw = "Authorization: Basic dTpzZWNyZXQ=\r\n";   // u:secret
    const std::string bad = "Authorization: Basic dTp3cm9uZw==\r\n";  // u:wrong
    std::vector<std::string> r = {
        req("GET", "/api/live"),
        req("POST", "/api/live", "x"),
        req("HEAD", "/api/live"),
        req("POST", "/api/poll",
            "{\"tags\":[\"A3\",\"A1\",\"a2\",\"A5\",\"Q1\",\"D999999\",\"A-1\",\"d1\",\"D2\","
            "\"A0\","
            "\"A99999999999999999999\",\"A\\\"x\"],\"pages\":[\"/screen1.html\",\"nope.html\","
            "\"../config.yaml\",\"//sub/p.htm\"]}"),
        req("GET", "/api/poll"),
        req("POST", "/api/poll", "{\"tags\":[\"A3\""),
        req("GET", "/api/vtypes?tags=A1,%20D1;A2;A0;A99;X1"),
        req("GET", "/api/vtypes"),
        req("POST", "/api/write", "{\"tag\":\"A3\",\"value\":25}"),
        req("POST", "/api/write", "{\"tag\":\"A3\",\"value\":25,\"code\":\"1234\"}"),
        req("POST", "/api/write", "{\"tag\":\"A3\",\"value\":\"12.5\",\"code\":1234}"),
        req("POST", "/api/write", "{\"tag\":\"A5\",\"value\":0.07,\"code\":1234}"),
        req("POST", "/api/write", "{\"tag\":\"D1\",\"value\":true,\"code\":\"1234\"}"),
        req("POST", "/api/write", "{\"tag\":\"A999\",\"value\":1,\"code\":\"1234\"}"),
        req("POST", "/api/write", "{\"tag\":\"Q1\",\"value\":1,\"code\":\"1234\"}"),
        req("POST", "/api/write", "{\"tag\":\"A1\",\"code\":\"1234\"}"),
        req("POST", "/api/write", "{\"tag\":\"A1\",\"value\":1e999,\"code\":\"1234\"}"),
        req("POST", "/api/write", "not json"),
        req("POST", "/api/write", "{\"tag\":\"A3\",\"value\":1,\"code\":\"1234\"}", evil),
        req("POST", "/api/write", "{\"tag\":\"A3\",\"value\":1,\"code\":\"1234\"}", ref),
        req("POST", "/api/write", "{\"tag\":\"A3\",\"value\":1,\"code\":\"1234\"}", same),
        req("GET", "/api/write"),
        req("PUT", "/api/write", "{}"),
        req("GET", "/api/write", "", evil),
        req("POST", "/api/write", "",
            "Content-Length: 2000000\r\n"),  // announced past the limit, never sent
        req("GET", "/api/status"),
        req("GET", "/api/plc"),
        req("GET", "/api/plc/time"),
        req("GET", "/api/plc/time?plc=1"),
        req("GET", "/api/plc/time?plc=x"),
        req("GET", "/api/plc/time?plc=9"),
        req("POST", "/api/plc/time/sync?plc=0"),
        req("GET", "/api/plc/time/sync?plc=0", "", evil),
        req("GET", "/api/plc/time/all"),
        req("GET", "/api/plc/time/auto?plc=0&on=1"),
        req("GET", "/api/plc"),
        req("GET", "/api/plc/time/auto?plc=0&on=0"),
        req("GET", "/api/plc/time/auto?plc=7&on=1"),
        req("GET", "/api/plc/time/auto?plc=x&on=1"),
        req("GET", "/api/plc/time/auto?plc=0&on=1", "", ref),
        req("GET", "/api/time"),
        req("GET", "/api/version"),
        req("GET", "/api/alarm-central-url"),
        req("GET", "/api/meta"),
        req("POST", "/api/meta"),
        req("GET", "/api/channels"),
        req("GET", "/api/ip-names"),
        req("GET", "/api/alarms/active"),
        req("GET", "/api/alarms/config"),
        req("GET", "/api/alarms/journal?date=2026-12-06"),
        req("GET", "/api/alarms/journal?date=2026-13-06"),
        req("GET", "/api/alarms/dates"),
        req("POST", "/api/alarms/ack", "{\"id\":2026120600001}"),
        req("POST", "/api/alarms/ack", "{\"id\":\"2026120600002\"}"),
        req("POST", "/api/alarms/ack", "{\"id\":2026120600003}"),
        req("POST", "/api/alarms/ack", "{\"id\":1.5}"),
        req("POST", "/api/alarms/ack", "{}"),
        req("POST", "/api/alarms/ack", "{\"id\":5}", evil),
        req("GET", "/api/alarms/ack"),
        req("GET", "/api/alarms/ack", "", evil),
        req("POST", "/api/alarms/active"),
        req("GET", "/api/alarms/zzz"),
        req("GET", "/api/alarms/"),
        req("GET", "/api/ksp/frame"),
        req("GET", "/api/ksp/frame?cfg=a.ks"),
        req("POST", "/api/ksp/save?f=pan.ks", "<ks/>"),
        req("POST", "/api/ksp/save?f=pan.ks&dir=sub", "<ks/>"),
        req("POST", "/api/ksp/save?f=screen1.ks", "<ks/>"),
        req("POST", "/api/ksp/save?f=.ks", "<ks/>"),
        req("POST", "/api/ksp/save?f=a%20b.ks", "<ks/>"),
        req("POST", "/api/ksp/save?f=a.ks&dir=..", "<ks/>"),
        req("POST", "/api/ksp/save?f=a.ks", ""),
        req("POST", "/api/ksp/save?f=a.ks", "<ks/>", evil),
        req("GET", "/api/ksp/save?f=a.ks"),
        req("GET", "/api/ksp/list"),
        req("GET", "/api/ksp/proj/list"),
        req("GET", "/api/ksp/proj/open?f=p1.ksp"),
        req("GET", "/api/ksp/proj/open?f=../config.yaml"),
        req("GET", "/api/ksp/proj/open?f=none.ksp"),
        req("POST", "/api/ksp/proj/save?f=d/p2.ksp", "<p/>"),
        req("POST", "/api/ksp/proj/save?f=p2.txt", "<p/>"),
        req("POST", "/api/ksp/proj/save?f=../p2.ksp", "<p/>"),
        req("POST", "/api/ksp/proj/save?f=p2.ksp", ""),
        req("POST", "/api/ksp/proj/save?f=p2.ksp", "<p/>", ref),
        req("GET", "/api/ksp/proj/list"),
        req("POST", "/api/ksp/proj/list"),
        req("GET", "/api/ksp/zzz"),
        req("POST", "/api/ksp/zzz"),
        req("GET", "/api/unknown"),
        req("POST", "/api/unknown"),
        req("GET", "/"),
        req("GET", "/screen1.html"),
        req("HEAD", "/screen1.html"),
        req("POST", "/screen1.html"),
        req("GET", "/app.js"),
        req("GET", "/img.png"),
        req("GET", "/data.bin"),
        req("GET", "/missing.html"),
        req("GET", "/../config.yaml"),
        req("GET", "/a%00.html"),
        req("GET", "relative"),
        req("GET", "/pan.ks"),
        req("GET", "/pan.ks?wd=1"),
        req("HEAD", "/pan.ks?wd=1"),
        req("POST", "/pan.ks?wd=1"),
        req("PUT", "/x"),
        req("GET", "/api/eng/x"),
        req("OPTIONS", "/api/eng/x"),
        req("OPTIONS", "/api/eng"),
        req("GET", "/eng", "", pw),
        req("GET", "/eng/", "", pw),
        req("GET", "/eng/page.html", "", pw),
        req("POST", "/api/eng/x", "{}", pw),
        req("GET", "/api/eng", "", pw),
        req("GET", "/eng/x", "", "Authorization: Bearer nothing\r\n"),
    };
    r.push_back(req("POST", "/api/poll", "{\"tags\":[\"A6\"]}"));
    r.push_back(req("POST", "/api/write", "{\"tag\":\"A6\",\"value\":0.07,\"code\":1234}"));
    r.push_back(req("GET", "/api/live"));
    // Six wrong passwords lock the address out.
    for (int i = 0; i < 7; i++)
        r.push_back(req("GET", "/eng/", "", bad));
    r.push_back(req("GET", "/eng/", "", pw));
    return r;
}

// The project every run starts from; `full` adds a trust list, the panel
// project directory and the engineering password.
void make_project(const std::string &dir, int port, bool full) {
    mkdir(dir.c_str(), 0755);
    for (const char *d : {"/www", "/www/sub", "/www/eng", "/alarm", "/proj", "/logs"})
        mkdir((dir + d).c_str(), 0755);
    std::string cfg = "scada:\n  port: " + std::to_string(port) +
                      "\n  wwwdir: ./www\n  logcontrol: 1\n  logcontrolpath: ./logs\n";
    if (full) cfg += "  ksp_projdir: ./proj\n  eng_password: secret\n";
    cfg +=
        "alarm:\n  dir: ./alarm\n  central_url: \"http://c/\\\"x\"\n"
        "logix:\n  shm_name: /x\n  groups: []\n";
    if (full) cfg += "awp_slot:\n  trust:\n    - \"1234:60:127.0.0.1\"\n";
    write_file(dir + "/config.yaml", cfg);
    write_file(
        dir + "/channels.json",
        "{\"version\":1,\"analogs\":[\n"
        "{\"id\":\"A1\",\"name\":\"T1\",\"desc\":\"Температура \\\"1\\\"\",\"unit\":\"°C\"},\n"
        "{\"id\":\"A3\",\"name\":\"F\",\"desc\":\"Flow\",\"unit\":\"m3/h\",\"scale\":"
        "{\"code_min\":0,\"code_max\":27648,\"phys_min\":0,\"phys_max\":50}},\n"
        "{\"id\":\"A5\",\"desc\":\"Level\",\"scale\":{\"code_min\":0,\"code_max\":1000,"
        "\"phys_min\":0,\"phys_max\":100}},\n"
        "{\"id\":\"A6\",\"desc\":\"Dose\",\"scale\":{\"code_min\":0,\"code_max\":100,"
        "\"phys_min\":0,\"phys_max\":0.1}}],\n"
        "\"discretes\":[{\"id\":\"D1\",\"name\":\"P1\",\"desc\":\"Pump\"}]}\n");
    write_file(dir + "/www/screen1.html", "<a href=\"http://10.0.0.5:8080/p/a.ks\">x</a>");
    write_file(dir + "/www/sub/p.htm", "p");
    write_file(dir + "/www/app.js", "var a = 1;\n");
    write_file(dir + "/www/img.png", std::string("\x89PNG\r\n\x1a\n\0\0", 10));
    write_file(dir + "/www/data.bin", std::string(200000, 'z'));
    write_file(dir + "/www/pan.ks", "<ks/>");
    write_file(dir + "/www/eng/index.html", "eng index");
    write_file(dir + "/www/eng/page.html", "eng page");
    write_file(dir + "/proj/p1.ksp", "<project/>");
    write_file(dir + "/alarm/alarms_active.json",
               "{\"active\":[{\"id\":3,\"journal_id\":2026120600001,\"station\":2}]}");
    write_file(dir + "/alarm/alarm.json",
               "{\"stations\":[{\"id\":2,\"ack_ips\":[\"127.0.0.1\"]},"
               "{\"id\":3,\"ack_ips\":[\"10.9.9.9\"]}]}");
    write_file(dir + "/alarm/journal-06122026.jsonl",
               "{\"id\":2026120600002,\"station\":3}\r\n\n{\"id\":2026120600003,\"station\":9}\n");
    // Pages report their modification time: the same in every copy.
    std::string touch = "find '" + dir + "' -exec touch -h -d @1767225600 {} +";
    if (system(touch.c_str()) != 0) fprintf(stderr, "cannot set file times in %s\n", dir.c_str());
}

// The database of a run: values, types and two controllers.
void fill_db(ShmHandle *h) {
    shm_update_analog(h, 1, 1, 1000, 21.5);
    shm_update_analog(h, 2, 0, 1000, 7);
    shm_update_analog(h, 3, 1, 1000, 13824);
    shm_update_analog(h, 5, 1, 1000, 333);
    shm_update_analog(h, 6, 1, 1000, 50);
    shm_update_discrete(h, 1, 1, 1, 1000);
    shm_set_an_vtype(h, 1, SHM_VT_REAL);
    shm_set_di_vtype(h, 1, SHM_VT_BOOL);
    ShmPlcBlock *b = shm_plc(h, 0);
    strcpy(b->ip, "10.0.0.7");
    b->slot = 2;
    b->connected = 1;
    b->mode = SHM_MODE_PROGRAM;
    b->minor_fault = 1;
    b->fw_major = 33;
    b->serial = 4242;
    strcpy(b->name, "Boiler\"1");
    shm_header(h)->connected = 1;
    shm_header(h)->poll_count = 77;
}

// Answers of one server binary on a fresh copy of the project; `full`
// also gives it the database, else the database is absent.
std::vector<std::string> run(const char *bin, const std::string &dir, bool full) {
    int port = free_port();
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) return {};
    make_project(dir, port, full);
    // One name for every run: /api/status shows it.
    test_db db(10, 5, 2, "/zq_compare_" + std::to_string(getpid()));
    if (!db.ok) return {};
    fill_db(&db.h);
    clock_standin drv(&db.h, 1767225601500000LL, 1767225600000000LL);
    tsup::Child server;
    if (!tsup::child_start(&server,
                           {.argv = {bin, "-c", "./config.yaml"},
                            .env = {"LOGIX_SHM_NAME=" + (full ? db.name : "/zq_compare_absent")},
                            .unset_env = {"ZQSTACK_DIR"},
                            .dir = dir,
                            .out_path = dir + "/out.txt",
                            .err_to_out = true}))
        return {};
    wait_for([&] {
        int s = tsup::tcp_connect(port);
        if (s >= 0) close(s);
        return s >= 0;
    });
    std::vector<std::string> out;
    for (const std::string &r : requests())
        out.push_back(raw(port, r));
    tsup::child_stop(&server);
    return out;
}

// Masks what differs between two runs by time or by build; a masked answer
// also has its Content-Length masked.
std::string mask(const std::string &a) {
    static const std::regex fields[] = {
        std::regex("\"now_ms\":[0-9]+"),
        std::regex("\"host_str\":\"[^\"]*\"\\}$"),
        std::regex("\"version\":\"[^\"]*\""),
        std::regex("\"retry_after\":[0-9]+"),
    };
    std::string m = a;
    for (const auto &re : fields)
        m = std::regex_replace(m, re, "<masked>");
    if (m != a)
        m = std::regex_replace(m, std::regex("Content-Length: [0-9]+"), "Content-Length: *");
    return m;
}

// Answers that are meant to change, by a text of their request.
const char *expected_change(const std::string &request, bool with_db) {
    if (with_db && (request.find("\"A6\"") != std::string::npos ||
                    request.find(" /api/live ") != std::string::npos))
        return "channel scales in double: A6 reads 0.05, not 0.0500000007450581";
    return nullptr;
}

std::string first_line(const std::string &r) {
    return r.substr(0, r.find("\r\n"));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s OLD_ZQSERVER NEW_ZQSERVER\n", argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string base = "/tmp/zq_compare_" + std::to_string(getpid());
    std::vector<std::string> reqs = requests();
    int compared = 0, differ = 0, expected = 0;
    for (bool full : {true, false}) {
        std::vector<std::string> a = run(argv[1], base + "_old", full);
        std::vector<std::string> b = run(argv[2], base + "_new", full);
        for (size_t i = 0; i < reqs.size(); i++) {
            compared++;
            std::string ma = i < a.size() ? mask(a[i]) : "<none>";
            std::string mb = i < b.size() ? mask(b[i]) : "<none>";
            const char *mode = full ? "db" : "no db";
            if (ma == mb) {
                printf("same  [%s] %-60s -> %s\n", mode, first_line(reqs[i]).c_str(),
                       ma.empty() ? "(closed without answer)" : first_line(ma).c_str());
                continue;
            }
            differ++;
            const char *why = expected_change(reqs[i], full);
            if (why) expected++;
            printf("%s [%s] %s%s%s\n--- old\n%s\n--- new\n%s\n", why ? "CHANGED" : "DIFF ", mode,
                   first_line(reqs[i]).c_str(), why ? " -- expected: " : "", why ? why : "",
                   ma.c_str(), mb.c_str());
        }
    }
    std::string cmd = "rm -rf '" + base + "_old' '" + base + "_new'";
    if (system(cmd.c_str()) != 0) {
    }
    printf("%d answers compared, %d differ, %d of them as expected\n", compared, differ, expected);
    return differ > expected ? 1 : 0;
}
