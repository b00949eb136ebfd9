// HEAD against the real server: the headers GET gets, byte for byte, the
// same Content-Length, and no body, on every kind of answer.
#include <gtest/gtest.h>

#include "server_fixture.h"

using namespace srvtest;

namespace {

std::string head_part(const std::string &answer) {
    size_t e = answer.find("\r\n\r\n");
    return e == std::string::npos ? answer : answer.substr(0, e + 4);
}

}  // namespace

TEST(Head, HeadersAsForGetWithoutBody) {
    test_db db(8, 4, 1);
    ASSERT_TRUE(db.ok);
    shm_update_analog(&db.h, 3, 1, 1700000000000LL, 12.5);
    server_proc srv("  eng_password: \"pw\"\n");
    write_file(srv.dir + "/www/screen1.html", "<html>root</html>");
    write_file(srv.dir + "/www/app.js", "var x=1;");
    // Larger than one read block of the file streamer.
    write_file(srv.dir + "/www/data.bin", std::string(300000, 'b'));
    write_file(srv.dir + "/www/panel.html", "<script src=\"http://h:1/k/p.ks\"></script>");
    write_file(srv.dir + "/alarm/alarms_active.json", "{\"active\":[]}");
    ASSERT_TRUE(srv.start(db.name));

    for (const char *target : {"/", "/app.js", "/data.bin", "/panel.html", "/nope.html", "/../x",
                               "/api/version", "/api/poll", "/api/vtypes?tags=A3",
                               "/api/alarms/active", "/api/ksp/nope", "/api/eng/status", "/eng/"}) {
        std::string get = srv.get(target);
        std::string head = raw(srv.port, request("HEAD", target));
        response g = parse(get);
        ASSERT_GT(g.status, 0) << target;
        ASSERT_FALSE(g.body.empty()) << target;  // else nothing would be left out
        EXPECT_EQ(g.header("Content-Length"), std::to_string(g.body.size())) << target;
        EXPECT_EQ(head, head_part(get)) << target;
    }
}

TEST(Head, AnswersWithoutBodyStayAsTheyAre) {
    server_proc srv("  eng_password: \"pw\"\n");
    ASSERT_TRUE(srv.start());
    // "pw" as Basic credentials: the redirect carries no body anyway.
    headers auth{{"Authorization", "Basic eDpwdw=="}};
    std::string get = srv.get("/eng", auth);
    EXPECT_EQ(parse(get).status, 301);
    EXPECT_EQ(raw(srv.port, request("HEAD", "/eng", "", auth)), get);
    // An announced request body is read and the answer still has none.
    std::string r = raw(srv.port, request("HEAD", "/api/time", "{}"));
    EXPECT_EQ(parse(r).status, 200);
    EXPECT_EQ(r, head_part(r));
}
