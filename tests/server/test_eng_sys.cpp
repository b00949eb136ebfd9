// Process status and signals (only this project's programs), program logs
// and the operator action log, through the real zqserver.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "eng_test_util.h"

using namespace engtest;

namespace {

// A harmless program under a stack program's name, running in `dir`.
bool start_named(tsup::Child *c, const std::string &dir, const std::string &name) {
    std::string exe = dir + "/" + name;
    if (tsup::run({.argv = {"cp", "/bin/sleep", exe}}).status != 0) return false;
    if (!tsup::child_start(c, {.argv = {exe, "600"}, .dir = dir})) return false;
    return wait_for(
        [&] { return read_file("/proc/" + std::to_string(c->pid) + "/comm") == name + "\n"; });
}

TEST(EngSys, RestartReachesOnlyThisProjectsProgram) {
    eng_server srv("", "calc:\n  dir: ./calc\n");
    tsup::TempDir other{"otherproj"};
    ASSERT_TRUE(srv.start());
    tsup::Child mine, theirs;
    ASSERT_TRUE(start_named(&mine, srv.dir, "zqalarm"));
    ASSERT_TRUE(start_named(&theirs, other.path, "zqalarm"));

    std::string status = srv.eget("/api/eng/sys/status").body;
    json_ptr st(json_parse(status.c_str()));
    ASSERT_TRUE(st && st->type == JSON_ARRAY) << status;
    std::vector<std::string> names;
    for (const json_node *e = st->child; e; e = e->next)
        names.push_back(json_gets(e, "name", ""));
    EXPECT_EQ(names, (std::vector<std::string>{"zqsup", "zqlogix", "zqtrend", "zqserver", "zqalarm",
                                               "zqcalc"}));
    const json_node *server = json_at(st.get(), 3), *alarm = json_at(st.get(), 4);
    EXPECT_EQ(json_geti(server, "pid", 0), srv.proc.pid);
    EXPECT_TRUE(json_getb(server, "running", 0));
    EXPECT_NE(std::string(json_gets(server, "cmdline", "")).find("zqserver -c ./config.yaml"),
              std::string::npos);
    EXPECT_NE(std::string(json_gets(server, "version", "")), "");
    EXPECT_EQ(json_geti(alarm, "pid", 0), mine.pid);
    EXPECT_FALSE(json_getb(json_at(st.get(), 0), "running", 1));

    response r = srv.epost("/api/eng/sys/restart", "{\"name\":\"zqalarm\"}");
    EXPECT_EQ(r.body, "{\"ok\":true,\"msg\":\"SIGTERM sent to 1 × zqalarm\"}");
    EXPECT_GE(tsup::child_wait(&mine, 5000), 0);
    EXPECT_TRUE(tsup::child_running(&theirs));
    EXPECT_NE(srv.audit().find("\"action\":\"sys/restart zqalarm\""), std::string::npos);

    EXPECT_EQ(member(srv.epost("/api/eng/sys/restart", "{\"name\":\"zqalarm\"}").body, "error"),
              "Process 'zqalarm' not found");
    EXPECT_EQ(member(srv.epost("/api/eng/sys/restart", "{\"name\":\"zqserver\"}").body, "error"),
              "Cannot self-restart via API");
    EXPECT_EQ(member(srv.epost("/api/eng/sys/restart", "{\"name\":\"bash\"}").body, "error"),
              "module 'bash' not restartable");
    EXPECT_EQ(
        member(srv.epost("/api/eng/sys/reload-module", "{\"name\":\"zqtrend\"}").body, "error"),
        "module 'zqtrend' not reloadable");
    EXPECT_EQ(member(srv.epost("/api/eng/notify-scales", "{}").body, "error"), "zqsup not found");
    EXPECT_TRUE(tsup::child_running(&theirs));
    EXPECT_EQ(srv.eget("/api/eng/sys/sessions").body, "[]");
}

TEST(EngSys, LogsAndOperatorActions) {
    eng_server srv;
    ASSERT_TRUE(srv.start());
    std::string logs = srv.dir + "/logs";
    write_file(logs + "/zqtrend-2024-01-02.log", "first line\nlast line\n");
    write_file(logs + "/notes.txt", "not a log");
    write_file(srv.dir + "/secret.log", "secret");
    ASSERT_EQ(symlink((srv.dir + "/secret.log").c_str(), (logs + "/link.log").c_str()), 0);
    std::string list = srv.eget("/api/eng/logs/list").body;
    EXPECT_NE(list.find("{\"name\":\"zqtrend-2024-01-02.log\",\"size\":21,\"mtime\":"),
              std::string::npos)
        << list;
    EXPECT_EQ(list.find("notes.txt"), std::string::npos);
    EXPECT_EQ(list.find("link.log"), std::string::npos);

    response r = srv.eget("/api/eng/logs/read?name=zqtrend-2024-01-02.log&tail=10");
    EXPECT_EQ(r.header("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(r.body, "last line\n");
    EXPECT_EQ(srv.eget("/api/eng/logs/read?name=zqtrend-2024-01-02.log").body,
              "first line\nlast line\n");
    EXPECT_EQ(srv.eget("/api/eng/logs/read?name=link.log").status, 404);
    for (const char *bad : {"../secret.log", "notes.txt", ".hidden.log", "%2e%2e%2fsecret.log"})
        EXPECT_EQ(srv.eget(std::string("/api/eng/logs/read?name=") + bad).status, 400) << bad;
    EXPECT_EQ(srv.eget("/api/eng/logs/read?name=zqtrend-2024-01-02.log&tail=-1").status, 400);

    write_file(logs + "/control20240102.log",
               "{\"ts\":\"a\",\"tag\":\"A1\"}\n\n{\"ts\":\"b\",\"tag\":\"D2\"}\n{\"ts\":\"cut");
    write_file(logs + "/control20240105.log", "");
    EXPECT_EQ(srv.eget("/api/eng/ctrllog/dates").body, "{\"dates\":[\"20240105\",\"20240102\"]}");
    EXPECT_EQ(srv.eget("/api/eng/ctrllog?date=20240102").body,
              "{\"records\":[{\"ts\":\"a\",\"tag\":\"A1\"},{\"ts\":\"b\",\"tag\":\"D2\"}]}");
    EXPECT_EQ(srv.eget("/api/eng/ctrllog?date=2024").status, 400);
    EXPECT_EQ(srv.eget("/api/eng/ctrllog?date=19990101").body, "{\"records\":[]}");
}

}  // namespace
