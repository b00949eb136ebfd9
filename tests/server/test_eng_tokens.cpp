// Personal tokens, roles, the audit log and the cross-site refusal,
// through the real zqserver.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "eng_test_util.h"

using namespace engtest;

namespace {

std::string create(eng_server &srv, const std::string &name, const std::string &role = "",
                   long long expires = 0) {
    response r =
        srv.epost("/api/eng/tokens", "{\"name\":\"" + name + "\",\"role\":\"" + role +
                                         "\",\"expires\":" + std::to_string(expires) + "}");
    return r.status == 200 ? member(r.body, "token") : "";
}

TEST(EngTokens, LoginExpiryDisableAndRoles) {
    eng_server srv;
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.eget("/api/eng/whoami").body,
              "{\"ok\":true,\"name\":\"(пароль)\",\"role\":\"admin\",\"expires\":0}");
    EXPECT_EQ(srv.eget("/api/eng/tokens").body, "{\"tokens\":[]}");

    std::string tok = create(srv, "ivan", "ENG-42");
    ASSERT_EQ(tok.size(), 64u);
    EXPECT_EQ(tok.find_first_not_of("0123456789abcdef"), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat((srv.dir + "/eng_tokens.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Only the hash is kept.
    EXPECT_EQ(read_file(srv.dir + "/eng_tokens.json").find(tok), std::string::npos);
    EXPECT_EQ(srv.eget("/api/eng/whoami", tok).body,
              "{\"ok\":true,\"name\":\"ivan\",\"role\":\"eng\",\"expires\":0}");
    EXPECT_EQ(member(srv.epost("/api/eng/tokens", "{\"name\":\"ivan\"}").body, "error"),
              "токен з таким іменем уже є");
    EXPECT_EQ(member(srv.epost("/api/eng/tokens", "{\"name\":\"a b\"}").body, "error"),
              "погане ім'я (дозволено A-Za-z0-9_.-)");
    std::string plain = create(srv, "plain");
    EXPECT_NE(srv.eget("/api/eng/tokens").body.find("\"name\":\"plain\",\"role\":\"engineer\""),
              std::string::npos);

    // Token users manage no tokens, whatever their role.
    response r = srv.epost("/api/eng/tokens", "{\"name\":\"x\"}", tok);
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.body,
              "{\"ok\":false,\"error\":\"admin_only\",\"msg\":\"Керування токенами — лише під "
              "паролем\"}");
    EXPECT_EQ(srv.epost("/api/eng/tokens/delete", "{\"name\":\"plain\"}", tok).status, 403);
    EXPECT_EQ(srv.eget("/api/eng/tokens", tok).status, 200);

    // Disabled and expired tokens are refused at the gate; re-enabling works.
    EXPECT_EQ(
        srv.epost("/api/eng/tokens/disable", "{\"name\":\"ivan\",\"action\":\"disable\"}").status,
        200);
    EXPECT_EQ(srv.eget("/api/eng/whoami", tok).status, 401);
    EXPECT_EQ(
        srv.epost("/api/eng/tokens/disable", "{\"name\":\"ivan\",\"action\":\"enable\"}").status,
        200);
    EXPECT_EQ(srv.eget("/api/eng/whoami", tok).status, 200);
    std::string old = create(srv, "old", "", 1000);
    EXPECT_EQ(srv.eget("/api/eng/whoami", old).status, 401);
    EXPECT_EQ(srv.epost("/api/eng/tokens/delete", "{\"name\":\"plain\"}").status, 200);
    EXPECT_EQ(srv.eget("/api/eng/whoami", plain).status, 401);
    EXPECT_EQ(srv.epost("/api/eng/tokens/delete", "{\"name\":\"plain\"}").status, 404);

    // The page's own login form: no browser dialog for a refused call.
    response no = parse(srv.get("/api/eng/whoami", {{"X-Requested-With", "zq-eng"}}));
    EXPECT_EQ(no.status, 401);
    EXPECT_EQ(no.header("WWW-Authenticate"), "");
    EXPECT_EQ(no.body, "{\"ok\":false,\"error\":\"unauthorized\"}");
    EXPECT_NE(parse(srv.get("/api/eng/whoami")).header("WWW-Authenticate"), "");

    std::string a = srv.audit();
    for (const char *action : {"token/create ivan", "token/create plain", "token/disable ivan",
                               "token/enable ivan", "token/delete plain"})
        EXPECT_NE(a.find(std::string("\"who\":\"(пароль)\",\"ip\":\"127.0.0.1\",\"action\":\"") +
                         action + "\"}"),
                  std::string::npos)
            << action << "\n"
            << a;
}

TEST(EngTokens, TokenUsersChangesAreAuditedAndStamped) {
    eng_server srv("", "alarm:\n  dir: ./alarm\n");
    ASSERT_TRUE(srv.start());
    std::string tok = create(srv, "olena");
    ASSERT_FALSE(tok.empty());
    EXPECT_EQ(srv.epost("/api/eng/alarm-central", "{\"url\":\"http://10.1.1.1:8080\"}", tok).status,
              200);
    EXPECT_NE(srv.audit().find("\"who\":\"olena\",\"ip\":\"127.0.0.1\",\"action\":\"alarm-central "
                               "http://10.1.1.1:8080\"}"),
              std::string::npos)
        << srv.audit();
    std::string list = srv.eget("/api/eng/tokens").body;
    EXPECT_NE(list.find("\"last_ip\":\"127.0.0.1\""), std::string::npos) << list;
    EXPECT_EQ(list.find("\"last_used\":\"\""), std::string::npos) << list;
}

TEST(EngTokens, StoreLimitsAndBrokenStores) {
    eng_server srv;
    ASSERT_TRUE(srv.start());
    for (int i = 0; i < 64; i++)
        ASSERT_FALSE(create(srv, "t" + std::to_string(i)).empty()) << i;
    EXPECT_EQ(member(srv.epost("/api/eng/tokens", "{\"name\":\"t64\"}").body, "error"),
              "забагато токенів");

    // A store that cannot be read is never taken for an empty one.
    for (const std::string &bad : {std::string("{\"tokens\":[{\"name\":\"a\""),
                                   std::string("{\"tokens\":[]}") + std::string(5u << 20, ' ')}) {
        write_file(srv.dir + "/eng_tokens.json", bad);
        response r = srv.epost("/api/eng/tokens", "{\"name\":\"new\"}");
        EXPECT_EQ(r.status, 500);
        EXPECT_EQ(member(r.body, "error"), "помилка запису/ентропії");
        EXPECT_EQ(read_file(srv.dir + "/eng_tokens.json"), bad);
        EXPECT_EQ(srv.eget("/api/eng/tokens").status, 500);
    }
}

TEST(EngTokens, CrossSiteAndMethods) {
    eng_server srv;
    ASSERT_TRUE(srv.start());
    const std::string body = "{\"name\":\"web\"}";
    response r = srv.epost("/api/eng/tokens", body, "", {{"Origin", "http://evil.example:80"}});
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.body, "{\"ok\":false,\"error\":\"cross_site\"}");
    r = srv.epost("/api/eng/tokens", body, "", {{"Referer", "http://evil.example/page.html"}});
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(read_file(srv.dir + "/eng_tokens.json"), "");
    // The editor's own page (same host) and tools sending no Origin pass.
    EXPECT_EQ(srv.epost("/api/eng/tokens", body, "", {{"Origin", "http://127.0.0.1"}}).status, 200);
    EXPECT_EQ(srv.epost("/api/eng/tokens", "{\"name\":\"cli\"}").status, 200);
    // Reading is not refused for an Origin.
    EXPECT_EQ(parse(srv.get("/api/eng/tokens",
                            {{"Authorization", srv.auth()[0].second}, {"Origin", "http://x"}}))
                  .status,
              200);
    EXPECT_EQ(parse(srv.get("/api/eng/tokens/delete", srv.auth())).status, 405);
    EXPECT_EQ(parse(raw(srv.port, request("PUT", "/api/eng/config", "x", srv.auth()))).status, 405);
    EXPECT_EQ(srv.eget("/api/eng/no-such").status, 404);
}

}  // namespace
