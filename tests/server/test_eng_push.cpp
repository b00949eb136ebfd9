// Trend push settings through the real zqserver: the servers of
// trends.push saved without touching other lines, the token store and its
// refusals, back-fill requests, and each server's state from the
// recorder's status file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "eng_test_util.h"

using namespace engtest;

namespace {

// A config.yaml with comments, a trends section and sections after it.
const std::string CONFIG_TAIL =
    "# Запис трендів\n"
    "trends:\n"
    "  mainpath_linux: ./Trends   # основна тека\n"
    "  mainpath_format: 2\n"
    "  autodelsec: 10   # днів\n"
    "  # сервери трендів — нижче\n"
    "\n"
    "alarm:\n"
    "  dir: ./alarm   # аварії\n";

int mode_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int)(st.st_mode & 07777) : -1;
}

// The file without the lines that contain any of `drop`.
std::string without_lines(const std::string &text, std::initializer_list<const char *> drop) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? nl : nl - pos + 1);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        bool keep = true;
        for (const char *d : drop)
            keep = keep && line.find(d) == std::string::npos;
        if (keep) out += line;
    }
    return out;
}

// A harmless program named zqtrend running in `dir`, as the recorder runs.
bool start_recorder_standin(tsup::Child *c, const std::string &dir) {
    std::string exe = dir + "/zqtrend";
    if (tsup::run({.argv = {"cp", "/bin/sleep", exe}}).status != 0) return false;
    if (!tsup::child_start(c, {.argv = {exe, "600"}, .dir = dir})) return false;
    return wait_for(
        [&] { return read_file("/proc/" + std::to_string(c->pid) + "/comm") == "zqtrend\n"; });
}

// Each body is answered 400 with an error that contains its text.
template <class Cases>
void expect_refused(eng_server *srv, const std::string &path, const Cases &cases) {
    for (const auto &[body, msg] : cases) {
        response b = srv->epost(path, body);
        EXPECT_EQ(b.status, 400) << body;
        EXPECT_NE(member(b.body, "error").find(msg), std::string::npos) << body << " -> " << b.body;
    }
}

}  // namespace

TEST(EngPush, SettingsRoundTripKeepsEveryOtherLine) {
    eng_server srv("", CONFIG_TAIL);
    ASSERT_TRUE(srv.start());
    const std::string before = read_file(srv.dir + "/config.yaml");
    tsup::Child recorder;
    ASSERT_TRUE(start_recorder_standin(&recorder, srv.dir));

    response r = srv.epost("/api/eng/push/settings",
                           "{\"dests\":[{\"url\":\"http://trends.plant:8080\",\"deflate\":true},"
                           "{\"url\":\"http://10.0.0.7/\"}]}");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_NE(member(r.body, "msg").find("zqtrend перезапускається"), std::string::npos) << r.body;
    // The recorder is stopped so that the supervisor starts it on the new list.
    EXPECT_GE(tsup::child_wait(&recorder, 5000), 0);

    std::string after = read_file(srv.dir + "/config.yaml");
    EXPECT_NE(after.find("  push:\n    - url: \"http://trends.plant:8080\"\n      deflate: true\n"
                         "    - url: \"http://10.0.0.7/\"\n      deflate: false\n"),
              std::string::npos)
        << after;
    EXPECT_EQ(without_lines(after, {"push:", "url:", "deflate:"}), before);

    std::string st = srv.eget("/api/eng/push").body;
    json_ptr root(json_parse(st.c_str()));
    const json_node *dests = json_get(root.get(), "dests");
    ASSERT_EQ(json_count(dests), 2u) << st;
    EXPECT_STREQ(json_gets(json_at(dests, 0), "url", ""), "http://trends.plant:8080");
    EXPECT_TRUE(json_getb(json_at(dests, 0), "deflate", 0));
    EXPECT_FALSE(json_getb(json_at(dests, 1), "deflate", 1));
    EXPECT_TRUE(json_getb(root.get(), "v2", 0));

    // Refusals name the fault and leave the file as it was.
    const std::pair<const char *, const char *> bad[] = {
        {"{\"dests\":[{\"url\":\"http://trends.plant/api/trend\"}]}", "шлях"},
        {"{\"dests\":[{\"url\":\"https://trends.plant\"}]}", "лише http://"},
        {"{\"dests\":[{\"url\":\"http://trends.plant:70000\"}]}", "порт"},
        {"{\"dests\":[{\"url\":\"http://a b\"}]}", "недопустимий символ"},
        {"{\"dests\":[{\"url\":\"http://a\\r\\nX: y\"}]}", "недопустимий символ"},
        {"{\"dests\":[{\"url\":\"http://a\"},{\"url\":\"HTTP://A\"}]}", "уже є"},
        {"{\"dests\":[{\"url\":\"http://a\"},{\"url\":\"http://b\"},{\"url\":\"http://c\"}]}",
         "два"},
        {"{\"dests\":[{\"url\":\"http://a\",\"deflate\":\"yes\"}]}", "deflate"},
        {"{\"dests\":{}}", "масивом"},
    };
    expect_refused(&srv, "/api/eng/push/settings", bad);
    EXPECT_EQ(read_file(srv.dir + "/config.yaml"), after);

    // Emptying the list takes the key away again: the file is as it began.
    EXPECT_EQ(srv.epost("/api/eng/push/settings", "{\"dests\":[]}").status, 200);
    EXPECT_EQ(read_file(srv.dir + "/config.yaml"), before);
    std::string audit = srv.audit();
    EXPECT_NE(audit.find("\"action\":\"push/settings http://trends.plant:8080 deflate "
                         "http://10.0.0.7/\""),
              std::string::npos)
        << audit;
    EXPECT_NE(audit.find("\"action\":\"push/settings (порожньо)\""), std::string::npos);
}

TEST(EngPush, SavingKeepsATokenWrittenInConfig) {
    eng_server srv("",
                   "trends:\n  mainpath_linux: ./Trends\n  push:\n"
                   "    - url: http://old.plant\n      token: cfg-secret-1\n");
    ASSERT_TRUE(srv.start());
    std::string st = srv.eget("/api/eng/push").body;
    json_ptr root(json_parse(st.c_str()));
    const json_node *d0 = json_at(json_get(root.get(), "dests"), 0);
    // A token in config.yaml is no stored token, and is never sent back.
    EXPECT_FALSE(json_getb(d0, "has_token", 1)) << st;
    EXPECT_TRUE(json_getb(d0, "config_token", 0)) << st;
    EXPECT_EQ(st.find("cfg-secret-1"), std::string::npos);
    EXPECT_FALSE(json_getb(root.get(), "v2", 1));

    response r = srv.epost("/api/eng/push/settings",
                           "{\"dests\":[{\"url\":\"http://old.plant\",\"deflate\":1}]}");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_NE(member(r.body, "msg").find("mainpath_format: 2"), std::string::npos) << r.body;
    EXPECT_EQ(read_file(srv.dir + "/config.yaml"),
              srv.config.substr(0, srv.config.find("trends:")) +
                  "trends:\n  mainpath_linux: ./Trends\n  push:\n"
                  "    - url: \"http://old.plant\"\n      deflate: true\n"
                  "      token: \"cfg-secret-1\"\n");
}

TEST(EngPush, TokenStoreIsPrivateAndRefusesUnsafeTokens) {
    eng_server srv("", CONFIG_TAIL);
    ASSERT_TRUE(srv.start());
    const std::string store = srv.dir + "/push_tokens.json";
    const std::string tok = "Abc.def-0123456789~xyz";
    tsup::Child recorder;
    ASSERT_TRUE(start_recorder_standin(&recorder, srv.dir));

    response r =
        srv.epost("/api/eng/push/token", "{\"url\":\"http://a:8080\",\"token\":\"" + tok + "\"}");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body.find(tok), std::string::npos);
    EXPECT_GE(tsup::child_wait(&recorder, 5000), 0);  // restarted to read the new token
    EXPECT_EQ(read_file(store),
              "{\"tokens\":[{\"url\":\"http://a:8080\",\"token\":\"" + tok + "\"}]}\n");
    EXPECT_EQ(mode_of(store), 0600);

    // Another url is appended, the same url replaced in place.
    EXPECT_EQ(srv.epost("/api/eng/push/token", "{\"url\":\"http://b\",\"token\":\"t2\"}").status,
              200);
    EXPECT_EQ(
        srv.epost("/api/eng/push/token", "{\"url\":\"http://a:8080\",\"token\":\"t3\"}").status,
        200);
    const std::string two =
        "{\"tokens\":[{\"url\":\"http://a:8080\",\"token\":\"t3\"},{\"url\":\"http://b\","
        "\"token\":\"t2\"}]}\n";
    EXPECT_EQ(read_file(store), two);

    const std::pair<std::string, const char *> bad[] = {
        {"{\"url\":\"http://a\",\"token\":\"has space\"}", "без пробілів"},
        {"{\"url\":\"http://a\",\"token\":\"x\\r\\nHost: evil\"}", "без пробілів"},
        {"{\"url\":\"http://a\",\"token\":\"del\\u007f\"}", "без пробілів"},
        {"{\"url\":\"http://a\",\"token\":\"токен\"}", "ASCII"},
        {"{\"url\":\"http://a\",\"token\":\"\"}", "порожній"},
        {"{\"url\":\"http://a\",\"token\":\"" + std::string(128, 'x') + "\"}", "127"},
        {"{\"url\":\"http://a/x\",\"token\":\"ok\"}", "шлях"},
        {"{\"url\":\"\",\"token\":\"ok\"}", "url"},
        {"{\"url\":\"http://" + std::string(250, 'h') + "\",\"token\":\"ok\"}", "url"},
    };
    expect_refused(&srv, "/api/eng/push/token", bad);
    EXPECT_EQ(read_file(store), two);

    // Eight urls fill the store; a ninth is refused and changes nothing.
    for (int i = 3; i <= 8; i++)
        ASSERT_EQ(srv.epost("/api/eng/push/token",
                            "{\"url\":\"http://h" + std::to_string(i) + "\",\"token\":\"t\"}")
                      .status,
                  200);
    const std::string full = read_file(store);
    response ninth = srv.epost("/api/eng/push/token", "{\"url\":\"http://h9\",\"token\":\"t\"}");
    EXPECT_EQ(ninth.status, 400);
    EXPECT_NE(member(ninth.body, "error").find("заповнене"), std::string::npos) << ninth.body;
    EXPECT_EQ(read_file(store), full);

    // Deleting an unknown url succeeds without writing; a known one keeps
    // the others in order.
    EXPECT_EQ(srv.epost("/api/eng/push/token/del", "{\"url\":\"http://nope\"}").status, 200);
    EXPECT_EQ(read_file(store), full);
    EXPECT_EQ(srv.epost("/api/eng/push/token/del", "{\"url\":\"http://b\"}").status, 200);
    std::string left = read_file(store);
    EXPECT_EQ(left.find("http://b\""), std::string::npos);
    EXPECT_LT(left.find("http://a:8080"), left.find("http://h3"));
    EXPECT_EQ(mode_of(store), 0600);

    // A damaged store is left for the engineer, never overwritten.
    write_file(store, "{\"tokens\":[{\"url\":\"http://a:8080\",\"tok");
    response damaged = srv.epost("/api/eng/push/token", "{\"url\":\"http://z\",\"token\":\"t\"}");
    EXPECT_EQ(damaged.status, 400);
    EXPECT_NE(member(damaged.body, "error").find("пошкоджений"), std::string::npos) << damaged.body;
    EXPECT_EQ(srv.epost("/api/eng/push/token/del", "{\"url\":\"http://a:8080\"}").status, 400);
    EXPECT_EQ(read_file(store), "{\"tokens\":[{\"url\":\"http://a:8080\",\"tok");

    std::string audit = srv.audit();
    EXPECT_NE(audit.find("\"action\":\"push/token http://a:8080\""), std::string::npos) << audit;
    EXPECT_NE(audit.find("\"action\":\"push/token/del http://nope\""), std::string::npos);
    EXPECT_EQ(audit.find(tok), std::string::npos);
}

TEST(EngPush, BackfillRequestsAreCheckedCalendarRanges) {
    eng_server srv("", "trends:\n  push:\n    - url: http://a:8080\n    - url: http://b\n");
    ASSERT_TRUE(srv.start());
    const std::string req = srv.dir + "/run/push_backfill.req";

    response r = srv.epost("/api/eng/push/backfill",
                           "{\"url\":\"http://a:8080\",\"from\":\"20240228\",\"to\":20240301,"
                           "\"verify\":true}");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_NE(member(r.body, "msg").find("днів 3"), std::string::npos) << r.body;
    EXPECT_EQ(read_file(req),
              "{\"url\":\"http://a:8080\",\"from\":20240228,\"to\":20240301,"
              "\"verify\":1}\n");
    EXPECT_EQ(mode_of(req), 0644);
    EXPECT_EQ(mode_of(srv.dir + "/run"), 0755);
    std::string st = srv.eget("/api/eng/push").body;
    EXPECT_NE(st.find("\"backfill_request\":{\"url\":\"http://a:8080\",\"from\":20240228,"
                      "\"to\":20240301,\"verify\":true}"),
              std::string::npos)
        << st;

    // One day (from equal to to) is a range; verify only from "1…"/"t…".
    EXPECT_EQ(srv.epost("/api/eng/push/backfill",
                        "{\"url\":\"http://b\",\"from\":\"20240229\",\"to\":\"20240229\","
                        "\"verify\":\"no\"}")
                  .status,
              200);
    const std::string kept = read_file(req);
    EXPECT_EQ(kept, "{\"url\":\"http://b\",\"from\":20240229,\"to\":20240229,\"verify\":0}\n");

    const char *fixed = "перевір url і дати (from<=to)";
    const std::pair<const char *, const char *> bad[] = {
        {"{\"url\":\"http://b\",\"from\":\"20240302\",\"to\":\"20240301\"}", fixed},
        {"{\"url\":\"http://b\",\"from\":\"20230229\",\"to\":\"20230301\"}", fixed},
        {"{\"url\":\"http://b\",\"from\":\"20240431\",\"to\":\"20240501\"}", fixed},
        {"{\"url\":\"http://b\",\"from\":\"20241301\",\"to\":\"20241301\"}", fixed},
        {"{\"url\":\"http://b\",\"from\":\"2024031\",\"to\":\"20240301\"}", fixed},
        {"{\"url\":\"http://b\",\"from\":\"19691231\",\"to\":\"20240301\"}", fixed},
        {"{\"url\":\"http://b\",\"from\":\"+2024030\",\"to\":\"20240301\"}", fixed},
        {"{\"url\":\"\",\"from\":\"20240301\",\"to\":\"20240301\"}", fixed},
        {"{\"url\":\"http://b\",\"from\":\"20240301\"}", fixed},
        {"{\"url\":\"http://b\",\"from\":\"20240301\",\"to\":\"29991231\"}", "майбутньому"},
        {"{\"url\":\"http://b\",\"from\":\"19800101\",\"to\":\"19921231\"}", "4000"},
        {"{\"url\":\"http://c\",\"from\":\"20240301\",\"to\":\"20240301\"}", "trends.push"},
    };
    expect_refused(&srv, "/api/eng/push/backfill", bad);
    // A refused request leaves the waiting one in place.
    EXPECT_EQ(read_file(req), kept);
    EXPECT_NE(srv.audit().find("\"action\":\"push/backfill http://a:8080 20240228..20240301 "
                               "verify\""),
              std::string::npos)
        << srv.audit();
}

TEST(EngPush, StatusComesFromTheRecordersFile) {
    eng_server srv("",
                   "trends:\n  mainpath_linux: ./Trends\n  format: 2\n  push:\n"
                   "    - url: http://a:8080\n      deflate: on\n"
                   "    - url: \"\"\n"
                   "    - url: http://b\n");
    ASSERT_TRUE(srv.start());
    mkdir((srv.dir + "/Trends").c_str(), 0755);
    mkdir((srv.dir + "/run").c_str(), 0755);
    write_file(srv.dir + "/push_tokens.json",
               "{\"tokens\":[{\"url\":\"http://b\",\"token\":\"0123456789abcdefWXYZ\"},"
               "{\"url\":\"http://a:8080\",\"token\":\"\"}]}\n");
    write_file(srv.dir + "/run/push_status.json",
               "{\"ms\":1700000000000,\"dests\":["
               "{\"url\":\"http://gone\",\"src\":\"x\",\"up\":true,\"blocked\":false,"
               "\"lag_bytes\":1,\"last_ok_ms\":1,\"fail_streak\":0,\"deflate\":0,"
               "\"remote_free\":1,\"remote_total\":1,\"bf\":{\"active\":false,\"from\":0,"
               "\"to\":0,\"cur\":0,\"total\":0,\"done\":0,\"pushed\":0,\"complete\":0,"
               "\"skipped\":0,\"conflict\":0,\"bytes\":0}},"
               "{\"url\":\"http://a:8080\",\"src\":\"Котельня 2\",\"up\":false,\"blocked\":true,"
               "\"lag_bytes\":123456,\"last_ok_ms\":1699999999000,\"fail_streak\":3,"
               "\"deflate\":1,\"remote_free\":5000000000000,\"remote_total\":8000000000000,"
               "\"bf\":{\"active\":true,\"from\":20240101,\"to\":20240110,\"cur\":20240104,"
               "\"total\":10,\"done\":3,\"pushed\":2,\"complete\":1,\"skipped\":0,"
               "\"conflict\":1,\"bytes\":987654321}}]}\n");

    response r = srv.eget("/api/eng/push");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body.find("0123456789abcdefWXYZ"), std::string::npos);
    EXPECT_EQ(r.body.find("http://gone"), std::string::npos);
    EXPECT_EQ(r.body.substr(0, r.body.find("\"local_free\"")), "{\"mainpath\":\"./Trends\",");
    EXPECT_NE(
        r.body.find("{\"url\":\"http://a:8080\",\"deflate\":true,\"has_token\":false,\"up\":false,"
                    "\"blocked\":true,\"lag_bytes\":123456,\"last_ok_ms\":1699999999000,"
                    "\"fail_streak\":3,\"remote_free\":5000000000000,"
                    "\"remote_total\":8000000000000,\"bf\":{\"active\":true,\"total\":10,"
                    "\"done\":3,\"pushed\":2,\"complete\":1,\"skipped\":0,\"conflict\":1,"
                    "\"cur\":20240104,\"bytes\":987654321"),
        std::string::npos)
        << r.body;
    // Absent from the status file: down, unblocked, every counter zero.
    EXPECT_NE(r.body.find("{\"url\":\"http://b\",\"deflate\":false,\"has_token\":true,"
                          "\"up\":false,\"blocked\":false,\"lag_bytes\":0,\"last_ok_ms\":0,"
                          "\"fail_streak\":0,\"remote_free\":0,\"remote_total\":0,"
                          "\"bf\":{\"active\":false,\"total\":0,\"done\":0,\"pushed\":0,"
                          "\"complete\":0,\"skipped\":0,\"conflict\":0,\"cur\":0,\"bytes\":0"),
              std::string::npos)
        << r.body;
    json_ptr root(json_parse(r.body.c_str()));
    EXPECT_EQ(json_count(json_get(root.get(), "dests")), 2u);
    EXPECT_GT(json_getn(root.get(), "local_total", 0), 0);
    EXPECT_EQ(json_geti(root.get(), "status_ms", 0), 1700000000000LL);
    EXPECT_STREQ(json_gets(json_at(json_get(root.get(), "dests"), 1), "token_hint", ""), "…WXYZ");
    EXPECT_STREQ(json_gets(json_at(json_get(root.get(), "dests"), 0), "src", ""), "Котельня 2");

    // A torn status file shows the destinations as unknown, not an error.
    write_file(srv.dir + "/run/push_status.json", "{\"ms\":17,\"dests\":[{\"url\":\"http://a");
    response torn = srv.eget("/api/eng/push");
    EXPECT_EQ(torn.status, 200);
    EXPECT_NE(torn.body.find("\"url\":\"http://a:8080\",\"deflate\":true,\"has_token\":false,"
                             "\"up\":false,\"blocked\":false,\"lag_bytes\":0"),
              std::string::npos)
        << torn.body;

    // No readable config.yaml: the fixed answer.
    ASSERT_EQ(rename((srv.dir + "/config.yaml").c_str(), (srv.dir + "/config.old").c_str()), 0);
    response gone = srv.eget("/api/eng/push");
    EXPECT_EQ(gone.status, 500);
    EXPECT_EQ(gone.body, "{\"error\":\"read failed\"}");
}

TEST(EngPush, EndpointsNeedTheEngineerAndTheirOwnSite) {
    eng_server srv("", CONFIG_TAIL);
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(parse(srv.get("/api/eng/push")).status, 401);
    EXPECT_EQ(
        parse(srv.post("/api/eng/push/token", "{\"url\":\"http://a\",\"token\":\"t\"}")).status,
        401);
    response cross = srv.epost("/api/eng/push/token", "{\"url\":\"http://a\",\"token\":\"t\"}", "",
                               {{"Origin", "http://evil.example"}});
    EXPECT_EQ(cross.status, 403);
    EXPECT_EQ(srv.eget("/api/eng/push/token").status, 405);
    EXPECT_FALSE(file_exists(srv.dir + "/push_tokens.json"));
}
