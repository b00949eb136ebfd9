// Engineering gate: password, personal tokens and the lock-out sequence.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include "server_fixture.h"

using namespace srvtest;

static std::string basic(const std::string &user_pass) {
    static const char *tab = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < user_pass.size(); i += 3) {
        unsigned v = (unsigned char)user_pass[i] << 16 | (unsigned char)user_pass[i + 1] << 8 |
                     (unsigned char)user_pass[i + 2];
        for (int k = 3; k >= 0; k--)
            out += tab[(v >> (6 * k)) & 63];
    }
    size_t rest = user_pass.size() - i;
    if (rest) {
        unsigned v = (unsigned char)user_pass[i] << 16;
        if (rest == 2) v |= (unsigned char)user_pass[i + 1] << 8;
        out += tab[(v >> 18) & 63];
        out += tab[(v >> 12) & 63];
        out += rest == 2 ? tab[(v >> 6) & 63] : '=';
        out += '=';
    }
    return "Basic " + out;
}

static std::string sha_hex(const std::string &s) {
    unsigned char d[32];
    SHA256((const unsigned char *)s.data(), s.size(), d);
    char h[65];
    for (int i = 0; i < 32; i++)
        snprintf(h + 2 * i, 3, "%02x", d[i]);
    return h;
}

static const char LOCKED_PREFIX[] = "{\"ok\":false,\"error\":\"rate_limited\",\"retry_after\":";

TEST(Gate, PasswordLockOutSequence) {
    server_proc srv("  eng_password: \"s3cret\"\n");
    mkdir((srv.dir + "/www/eng").c_str(), 0755);
    write_file(srv.dir + "/www/eng/index.html", "editor");
    ASSERT_TRUE(srv.start());
    const std::string want401 =
        "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"Engineering Editor\"\r\n"
        "Content-Type: text/plain\r\nContent-Length: 12\r\nConnection: close\r\n\r\nUnauthorized";
    auto bad = [&] { return srv.get("/api/eng/status", {{"Authorization", basic("x:wrong")}}); };
    auto good = [&] {
        return srv.get("/api/eng/whoami", {{"Authorization", basic("anyone:s3cret")}});
    };

    // A correct password clears the count.
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(bad(), want401);
    EXPECT_EQ(parse(good()).body,
              "{\"ok\":true,\"name\":\"(пароль)\",\"role\":\"admin\",\"expires\":0}");
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(bad(), want401) << i;
    // The sixth failure still answers 401 and starts the lock.
    EXPECT_EQ(bad(), want401);
    response locked = parse(bad());
    EXPECT_EQ(locked.status, 429);
    EXPECT_EQ(locked.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(locked.body.rfind(LOCKED_PREFIX, 0), 0u) << locked.body;
    int retry = atoi(locked.body.c_str() + sizeof LOCKED_PREFIX - 1);
    EXPECT_GT(retry, 25);
    EXPECT_LE(retry, 30);
    EXPECT_NE(locked.body.find("\"msg\":\"Забагато спроб — зачекайте\"}"), std::string::npos);
    // Even the right password waits for the lock to pass.
    EXPECT_EQ(parse(good()).status, 429);
    // Without credentials: also counted, also 401 before any lock.
    EXPECT_EQ(parse(srv.get("/api/eng")).status, 429);
    // The editor's own files hold no secrets and need no login at all.
    EXPECT_EQ(parse(srv.get("/eng/")).body, "editor");
}

TEST(Gate, RedirectsTokensAndApiAnswers) {
    server_proc srv("  eng_password: 123456\n");  // a numeric password works too
    mkdir((srv.dir + "/www/eng").c_str(), 0755);
    write_file(srv.dir + "/www/eng/index.html", "editor");
    write_file(srv.dir + "/www/eng/app.js", "js");
    std::string tok = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    write_file(srv.dir + "/eng_tokens.json",
               "{\"tokens\":[{\"name\":\"old\",\"hash\":\"" + sha_hex("expired") +
                   "\",\"role\":\"admin\",\"expires\":1000,\"created\":\"\",\"last_used\":\"\","
                   "\"last_ip\":\"\",\"disabled\":0},"
                   "{\"name\":\"off\",\"hash\":\"" +
                   sha_hex("disabled") +
                   "\",\"role\":\"admin\",\"expires\":0,\"created\":\"\",\"last_used\":\"\","
                   "\"last_ip\":\"\",\"disabled\":1},"
                   "{\"name\":\"ivan\",\"hash\":\"" +
                   sha_hex(tok) +
                   "\",\"role\":\"admin\",\"expires\":0,\"created\":\"\",\"last_used\":\"\","
                   "\"last_ip\":\"\",\"disabled\":0}]}\n");
    ASSERT_TRUE(srv.start());
    auto pw = headers{{"Authorization", basic("u:123456")}};
    EXPECT_EQ(srv.get("/eng", pw),
              "HTTP/1.1 301 Moved Permanently\r\nLocation: /eng/\r\nContent-Length: 0\r\n"
              "Connection: close\r\n\r\n");
    EXPECT_EQ(parse(srv.get("/eng/app.js", pw)).body, "js");
    response api = parse(srv.get("/api/eng/anything", pw));
    EXPECT_EQ(api.status, 404);
    EXPECT_EQ(api.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(parse(srv.get("/api/eng/whoami", {{"Authorization", "Bearer " + tok}})).body,
              "{\"ok\":true,\"name\":\"ivan\",\"role\":\"admin\",\"expires\":0}");
    for (const std::string &bad : std::vector<std::string>{"expired", "disabled", tok + "0"})
        EXPECT_EQ(parse(srv.get("/api/eng/whoami", {{"Authorization", "Bearer " + bad}})).status,
                  401);
    EXPECT_EQ(srv.get("/eng/x/../../config.yaml", pw).find("Bad path") != std::string::npos, true);

    EXPECT_EQ(raw(srv.port, request("OPTIONS", "/api/eng/x")),
              "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
              "Access-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
              "Access-Control-Allow-Headers: authorization, content-type\r\n"
              "Access-Control-Max-Age: 600\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    // Large bodies are read only for authenticated engineering requests.
    std::string big(1500000, 'z');
    EXPECT_EQ(parse(srv.post("/api/eng/upload", big, pw)).status, 404);
    EXPECT_EQ(srv.post("/api/eng/upload", big), "");
    // Refused uploads count as failed logins: no way around the lock-out.
    auto wrong = headers{{"Authorization", basic("u:guess")}};
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(srv.post("/api/eng/upload", big, wrong), "");
    EXPECT_EQ(parse(srv.get("/api/eng/whoami", pw)).status, 429);
}

TEST(Gate, EditorOffWithoutPassword) {
    server_proc srv;
    std::string tok = "tok";
    write_file(srv.dir + "/eng_tokens.json",
               "{\"tokens\":[{\"name\":\"a\",\"hash\":\"" + sha_hex(tok) +
                   "\",\"role\":\"admin\",\"expires\":0,\"disabled\":0}]}");
    ASSERT_TRUE(srv.start());
    for (const char *p : {"/eng", "/eng/", "/api/eng", "/api/eng/x"}) {
        EXPECT_EQ(srv.get(p, {{"Authorization", "Bearer tok"}}),
                  "HTTP/1.1 403 OK\r\nContent-Type: text/plain\r\nContent-Length: 33\r\n"
                  "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n"
                  "Engineering editor not configured")
            << p;
    }
}
