// The real zqalarm against a database written by the test: raises and
// clears seen from outside, exact file formats, restarts, a second
// instance, acknowledgements through the real zqserver, a midnight on a
// shifted clock, and pushes to a fake central server on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "alarm/alarm_journal.h"
#include "alarm_proc.h"
#include "common/json.h"
#include "common/lock_file.h"

using namespace alarmtest;
using srvtest::test_db;
using srvtest::wait_for;

namespace {

const char *EVENTS =
    "{\"id\":1,\"expr1\":\"A1\",\"expr2\":\"80\",\"cond\":\"gt\",\"delta\":2,\"desc\":\"Перегрів "
    "\\\"котла\\\"\",\"lvl\":2,\"station\":1},"
    "{\"id\":2,\"expr1\":\"A2\",\"expr2\":\"10\",\"cond\":\"lt\",\"delta\":1,\"desc\":\"Низький "
    "рівень\",\"lvl\":1,\"station\":1,\"check_quality\":true},"
    "{\"id\":3,\"expr1\":\"D1\",\"expr2\":\"1\",\"cond\":\"equ\",\"desc\":\"Аварія D1\"}";

struct project {
    tsup::TempDir tmp{"alarm"};
    alarm_proc alarm;
    project(const std::string &events, const std::string &alarm_yaml = "") {
        alarm.dir = tmp.path;
        mkdir((tmp.path + "/alarm").c_str(), 0775);
        write_file(tmp.path + "/config.yaml",
                   "alarm:\n  dir: ./alarm\n  takt_ms: 50\n" + alarm_yaml);
        write_file(tmp.path + "/alarm/alarm.json", "{\"events\":[" + events + "]}");
    }
};

std::vector<std::string> journal_lines(const alarm_proc &p) {
    return lines_of(p.journal(today_ymd()));
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

void set_a(test_db &db, int n, double v, uint8_t q = 1) {
    shm_update_analog(&db.h, n, q, shm_now_ms(), v);
}

// POST /api/alarms/ack from a given local address.
std::string post_from(const std::string &ip, int port, const std::string &body) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    if (bind(s, (sockaddr *)&a, sizeof a) != 0) {
        close(s);
        return "<no bind>";
    }
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (connect(s, (sockaddr *)&a, sizeof a) != 0) {
        close(s);
        return "<no connect>";
    }
    tsup::send_all(s, tsup::http_format("POST", "/api/alarms/ack", body));
    std::string r = tsup::recv_until_close(s, 10000);
    close(s);
    return r;
}

}  // namespace

TEST(Zqalarm, RaisesAndClearsAtTheThresholdsFromOutside) {
    test_db db(8, 8, 1);
    ASSERT_TRUE(db.ok);
    project p(EVENTS);
    set_a(db, 1, 80);
    set_a(db, 2, 10);
    ASSERT_TRUE(p.alarm.start(db.name));
    // A1 = 80 is not above 80; 80.01 is.
    ASSERT_TRUE(wait_for([&] { return has(p.alarm.log(), "alarm: SHM відкрито"); }));
    set_a(db, 1, 80.01);
    ASSERT_TRUE(wait_for([&] { return has(p.alarm.active(), "\"id\":1,"); }));
    EXPECT_FALSE(has(p.alarm.active(), "\"id\":2,"));
    // Hysteresis: stays down to 78 exclusive.
    set_a(db, 1, 78.01);
    set_a(db, 2, 9.99);  // raises event 2
    ASSERT_TRUE(wait_for([&] { return has(p.alarm.active(), "\"id\":2,"); }));
    EXPECT_TRUE(has(p.alarm.active(), "\"id\":1,"));
    set_a(db, 1, 78);
    ASSERT_TRUE(wait_for([&] { return !has(p.alarm.active(), "\"id\":1,"); }));
    // Quality lost: the checking event clears at once.
    set_a(db, 2, 5, 0);
    ASSERT_TRUE(wait_for([&] { return !has(p.alarm.active(), "\"id\":2,"); }));
    shm_update_discrete(&db.h, 1, 1, 1, shm_now_ms());
    ASSERT_TRUE(wait_for([&] { return has(p.alarm.active(), "\"id\":3,"); }));

    auto lines = journal_lines(p.alarm);
    ASSERT_EQ(lines.size(), 3u);
    long long base = (long long)today_ymd() * 100000;
    for (size_t i = 0; i < lines.size(); i++) {
        json_ptr j(json_parse(lines[i].c_str()));
        ASSERT_TRUE(j) << lines[i];
        EXPECT_EQ(json_geti(j.get(), "id", 0), base + 1 + (long long)i);
        const char *keys[] = {"id",     "ts",     "event_id",    "desc",    "expr",
                              "params", "cond",   "lvl",         "station", "clear_ts",
                              "ack_ts", "ack_ip", "delivered_ts"};
        size_t k = 0;
        for (const json_node *c = j->child; c; c = c->next, k++)
            EXPECT_STREQ(c->key, k < 13 ? keys[k] : "") << lines[i];
        EXPECT_EQ(k, 13u);
    }
    json_ptr first(json_parse(lines[0].c_str()));
    EXPECT_STREQ(json_gets(first.get(), "desc", ""), "Перегрів \"котла\"");
    EXPECT_STREQ(json_gets(first.get(), "expr", ""), "A1 > 80");
    EXPECT_NE(json_gets(first.get(), "clear_ts", "")[0], 0);
    json_ptr act(json_parse(p.alarm.active().c_str()));
    ASSERT_TRUE(act);
    const json_node *a0 = json_at(json_get(act.get(), "active"), 0);
    EXPECT_EQ(json_geti(a0, "journal_id", 0), base + 3);
    EXPECT_EQ(strlen(json_gets(a0, "since", "")), 19u);
    EXPECT_EQ(p.alarm.stop(), 0);
    EXPECT_TRUE(has(p.alarm.log(), "alarm зупинено"));
}

TEST(Zqalarm, SecondInstanceOnTheSameDatabaseExits1) {
    test_db db(4, 4, 1);
    ASSERT_TRUE(db.ok);
    project p(EVENTS);
    ASSERT_TRUE(p.alarm.start(db.name));
    tsup::Child second;
    ASSERT_TRUE(tsup::child_start(&second, {.argv = {ZQ_BIN_DIR "/zqalarm"},
                                            .env = {"LOGIX_SHM_NAME=" + db.name},
                                            .dir = p.tmp.path}));
    EXPECT_EQ(tsup::child_wait(&second, 10000), 1);
    EXPECT_EQ(p.alarm.stop(), 0);
    unlink(zq_lock_path("zqalarm", db.name.c_str()).c_str());
}

// An alarm active across a restart keeps its record: no second record, and
// the clear after the restart closes the old one.
TEST(Zqalarm, RestartWithAnActiveAlarm) {
    test_db db(4, 4, 1);
    ASSERT_TRUE(db.ok);
    project p(EVENTS);
    set_a(db, 1, 90);
    set_a(db, 2, 50);
    ASSERT_TRUE(p.alarm.start(db.name));
    ASSERT_TRUE(wait_for([&] { return has(p.alarm.active(), "\"id\":1,"); }));
    ASSERT_EQ(p.alarm.stop(), 0);
    ASSERT_TRUE(p.alarm.start(db.name));
    ASSERT_TRUE(wait_for([&] { return has(p.alarm.log(), "alarm: SHM відкрито"); }));
    set_a(db, 1, 50);
    ASSERT_TRUE(wait_for([&] { return !has(p.alarm.active(), "\"id\":1,"); }));
    auto lines = journal_lines(p.alarm);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_FALSE(has(lines[0], "\"clear_ts\":\"\""));
}

// 100 operators acknowledge at once through the server while zqalarm takes
// the request file every turn: every acknowledgement lands.
TEST(Zqalarm, ConcurrentAcknowledgementsThroughTheServer) {
    test_db db(128, 4, 1);
    ASSERT_TRUE(db.ok);
    std::string events;
    for (int i = 1; i <= 100; i++)
        events += std::string(i > 1 ? "," : "") + "{\"id\":" + std::to_string(i) +
                  ",\"expr1\":\"A" + std::to_string(i) + "\",\"expr2\":\"0\",\"cond\":\"gt\"}";
    srvtest::server_proc srv("", "alarm:\n  dir: ./alarm\n  takt_ms: 50\n");
    write_file(srv.dir + "/alarm/alarm.json", "{\"events\":[" + events + "]}");
    for (int i = 1; i <= 100; i++)
        set_a(db, i, 1);
    alarm_proc al;
    al.dir = srv.dir;
    ASSERT_TRUE(al.start(db.name));
    ASSERT_TRUE(srv.start(db.name));
    ASSERT_TRUE(wait_for([&] { return journal_lines(al).size() == 100; }));
    long long base = (long long)today_ymd() * 100000;
    // Each operator from its own loopback address: the server limits the
    // connections of one address.
    std::vector<std::thread> ops;
    std::mutex mu;
    int ok = 0;
    for (int i = 1; i <= 100; i++)
        ops.emplace_back([&, i] {
            std::string r = post_from("127.0.1." + std::to_string(i), srv.port,
                                      "{\"id\":" + std::to_string(base + i) + "}");
            std::lock_guard<std::mutex> lk(mu);
            if (tsup::http_parse(r).body == "{\"ok\":true}")
                ok++;
            else
                ADD_FAILURE() << "answer: " << r.substr(0, 200);
        });
    for (auto &t : ops)
        t.join();
    EXPECT_EQ(ok, 100);
    auto acked = [&] {
        int n = 0;
        for (const std::string &l : journal_lines(al)) {
            json_ptr j(json_parse(l.c_str()));
            long long seq = json_geti(j.get(), "id", 0) - base;
            if (json_gets(j.get(), "ack_ip", "") == "127.0.1." + std::to_string(seq)) n++;
        }
        return n;
    };
    EXPECT_TRUE(wait_for([&] { return acked() == 100; })) << acked();
}

// The program's clock starts two seconds before midnight: the alarm raised
// before it is closed in yesterday's file, the next one numbers from the
// new day.
TEST(Zqalarm, MidnightOnAShiftedClock) {
    test_db db(4, 4, 1);
    ASSERT_TRUE(db.ok);
    project p(EVENTS);
    set_a(db, 1, 90);
    set_a(db, 2, 50);
    int64_t real = shm_now_ms();
    int64_t fake = utc_ms(2026, 12, 6, 23, 59, 58);
    ASSERT_TRUE(p.alarm.start(db.name, {"TZ=UTC", "ZQALARM_CLOCK=" + std::to_string(real) + "," +
                                                      std::to_string(fake) + ",1"}));
    ASSERT_TRUE(wait_for([&] { return has(p.alarm.journal(20261206), "2026120600001"); }));
    // Wait for the new day's (empty) journal to be taken up, then clear.
    ASSERT_TRUE(wait_for([&] { return has(p.alarm.log(), "alarm: журнал 07122026"); }));
    set_a(db, 1, 50);
    ASSERT_TRUE(
        wait_for([&] { return has(p.alarm.log(), "alarm CLEAR (cross-day) id=2026120600001"); }));
    EXPECT_TRUE(has(p.alarm.journal(20261206), "\"clear_ts\":\"2026-12-07T"));
    set_a(db, 1, 95);
    ASSERT_TRUE(wait_for([&] { return has(p.alarm.journal(20261207), "2026120700001"); }));
    EXPECT_EQ(lines_of(p.alarm.journal(20261206)).size(), 1u);
}

namespace {

// A central server on loopback that answers each push from a script and
// keeps the request bodies.
struct fake_central {
    int fd = -1, port = 0;
    std::vector<std::string> replies;  // "" = hang until the client gives up
    std::vector<std::string> bodies;
    std::vector<std::string> journal_at_request;
    std::function<std::string()> snapshot;
    std::mutex mu;
    std::thread th;
    std::atomic<bool> stop{false};

    bool start() {
        fd = tsup::tcp_listen(&port, 8);
        if (fd < 0) return false;
        th = std::thread([this] { run(); });
        return true;
    }
    void run() {
        size_t n = 0;
        while (!stop) {
            pollfd pf{fd, POLLIN, 0};
            if (poll(&pf, 1, 50) <= 0) continue;
            int c = accept(fd, nullptr, nullptr);
            if (c < 0) continue;
            std::string req;
            char buf[65536];
            size_t need = std::string::npos;
            while (req.size() < need) {
                pollfd p{c, POLLIN, 0};
                if (poll(&p, 1, 5000) <= 0) break;
                ssize_t k = recv(c, buf, sizeof buf, 0);
                if (k <= 0) break;
                req.append(buf, (size_t)k);
                size_t he = req.find("\r\n\r\n");
                if (he != std::string::npos && need == std::string::npos) {
                    size_t cl = req.find("Content-Length: ");
                    need = he + 4 + (size_t)atol(req.c_str() + cl + 16);
                }
            }
            std::string reply = n < replies.size() ? replies[n] : replies.back();
            {
                std::lock_guard<std::mutex> lk(mu);
                size_t he = req.find("\r\n\r\n");
                bodies.push_back(he == std::string::npos ? "" : req.substr(he + 4));
                journal_at_request.push_back(snapshot ? snapshot() : "");
            }
            n++;
            if (reply.empty()) {
                // Hang: keep the connection open until the client closes it.
                pollfd p{c, POLLIN, 0};
                while (!stop && poll(&p, 1, 50) == 0) {
                }
            } else {
                tsup::send_all(c, reply);
            }
            close(c);
        }
    }
    size_t count() {
        std::lock_guard<std::mutex> lk(mu);
        return bodies.size();
    }
    ~fake_central() {
        stop = true;
        if (th.joinable()) th.join();
        if (fd >= 0) close(fd);
    }
};

std::string http(int code, const std::string &body) {
    return "HTTP/1.1 " + std::to_string(code) +
           " X\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

// 500, a hang, and a 500 whose body says " 200 " all leave the records
// undelivered; the 200 that follows carries them all and marks them.
TEST(Zqalarm, PushesToACentralServerUntilItAccepts) {
    test_db db(8, 4, 1);
    ASSERT_TRUE(db.ok);
    fake_central central;
    central.replies = {http(500, "{}"), "", http(500, "{\"err\":\"not 200 \"}"),
                       http(200, "{\"cfg_crc\":\"zzzzzzzz\"}")};
    ASSERT_TRUE(central.start());
    project p(EVENTS, "  central_url: http://127.0.0.1:" + std::to_string(central.port) + "/x\n");
    central.snapshot = [&] { return p.alarm.journal(today_ymd()); };
    set_a(db, 2, 50);
    ASSERT_TRUE(p.alarm.start(db.name));
    // Each raise wakes the notifier: three failing pushes, then one that works.
    ASSERT_TRUE(wait_for([&] { return central.count() >= 1; }));
    for (int v : {90, 50, 90}) {
        size_t before = central.count();
        set_a(db, 1, v);
        ASSERT_TRUE(wait_for([&] { return central.count() > before; }, 15000));
    }
    ASSERT_TRUE(wait_for(
        [&] {
            return !journal_lines(p.alarm).empty() &&
                   !has(journal_lines(p.alarm)[0], "\"delivered_ts\":\"\"");
        },
        15000));
    std::lock_guard<std::mutex> lk(central.mu);
    ASSERT_GE(central.bodies.size(), 4u);
    for (size_t i = 0; i < 4; i++) {
        json_ptr b(json_parse(central.bodies[i].c_str()));
        ASSERT_TRUE(b) << central.bodies[i];
        EXPECT_STREQ(json_gets(b.get(), "src", ""),
                     p.tmp.path.substr(p.tmp.path.rfind('/') + 1).c_str());
        EXPECT_TRUE(json_get(b.get(), "cfg")) << "the server never reported a CRC yet";
        EXPECT_FALSE(has(central.journal_at_request[i], "\"delivered_ts\":\"2")) << i;
    }
    json_ptr last(json_parse(central.bodies[3].c_str()));
    EXPECT_GE(json_count(json_get(last.get(), "events")), 2u);
}
