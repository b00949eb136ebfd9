// Request parsing, link rewriting and the small parsers of the server.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "server/api.h"
#include "server/http.h"
#include "server/server.h"

static http_request head(const std::string &text) {
    http_request r{};
    r.n_headers = 0;
    EXPECT_EQ(http_parse_head(text.data(), text.size(), &r), 0);
    return r;
}

TEST(HttpParse, RequestLineHeadersAndDecoding) {
    http_request r = head(
        "POST /a%20b/c+d.html?x=1%262&y=%zz HTTP/1.1\r\nHost: h:1\r\nX-Long:    v  \r\n"
        "nocolon\r\n\r\n");
    EXPECT_STREQ(r.method, "POST");
    EXPECT_STREQ(r.path, "/a b/c d.html");
    // The query is decoded as a whole: the encoded ampersand splits the value.
    EXPECT_STREQ(r.query, "x=1&2&y=%zz");
    char v[64];
    ASSERT_TRUE(http_query_param(&r, "x", v, sizeof v));
    EXPECT_STREQ(v, "1");
    EXPECT_TRUE(http_query_param(&r, "2", nullptr, 0) == false);
    ASSERT_TRUE(http_query_param(&r, "y", v, sizeof v));
    EXPECT_STREQ(v, "%zz");
    EXPECT_EQ(r.n_headers, 2);
    ASSERT_TRUE(http_header(&r, "x-long", v, sizeof v));
    EXPECT_STREQ(v, "v  ");
    ASSERT_TRUE(http_header(&r, "HOST", v, 3));
    EXPECT_STREQ(v, "h:");
}

TEST(HttpParse, LimitsOfFields) {
    std::string longpath(2000, 'p');
    std::string req = "GETTINGLONG /" + longpath + "?" + std::string(3000, 'q') + " HTTP/1.1\r\n";
    for (int i = 0; i < 40; i++)
        req += "H" + std::to_string(i) + ": " + std::string(300, 'v') + "\r\n";
    req += "\r\n";
    http_request r = head(req);
    EXPECT_STREQ(r.method, "GETTING");
    EXPECT_EQ(strlen(r.path), 511u);
    EXPECT_EQ(strlen(r.query), 1023u);
    EXPECT_EQ(r.n_headers, 32);
    EXPECT_EQ(strlen(r.headers[0].value), 127u);
}

TEST(HttpParse, DecodedNulIsFlagged) {
    http_request r = head("GET /a%00.html HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(r.path_has_nul);
    http_request s = head("GET /a%2e%2e/b HTTP/1.1\r\n\r\n");
    EXPECT_STREQ(s.path, "/a../b");
}

TEST(HttpParse, ContentLengthAcceptsDigitsOnly) {
    EXPECT_EQ(http_parse_content_length("0"), 0);
    EXPECT_EQ(http_parse_content_length(" 42 "), 42);
    EXPECT_EQ(http_parse_content_length("268435456"), 268435456);
    EXPECT_EQ(http_parse_content_length("-1"), -1);
    EXPECT_EQ(http_parse_content_length("+5"), -1);
    EXPECT_EQ(http_parse_content_length("12abc"), -1);
    EXPECT_EQ(http_parse_content_length(""), -1);
    EXPECT_EQ(http_parse_content_length("99999999999999999999999999"), -1);
    EXPECT_GT(http_parse_content_length("268435457"), HTTP_BODY_HARD_MAX);
}

TEST(HttpParse, UrlDecodeKeepsBrokenEscapes) {
    char t[] = "%41%4g%+x%";
    http_url_decode(t);
    EXPECT_STREQ(t, "A%4g% x%");
}

TEST(KsRewrite, AbsolutePanelLinksLoseSchemeAndHost) {
    EXPECT_EQ(http_rewrite_ks_links("<script src=\"http://10.0.0.5:8080/p/a.ks\"></script>"),
              "<script src=\"/p/a.ks\"></script>");
    EXPECT_EQ(http_rewrite_ks_links("<a href='http://h/x.ks?wd=3'>"), "<a href='/x.ks?wd=3'>");
    // Pages and hosts without a path stay as they are.
    std::string keep = "<a href=\"http://h/x.html\">http://h</a> http:// http://h/.k";
    EXPECT_EQ(http_rewrite_ks_links(keep), keep);
    EXPECT_EQ(http_rewrite_ks_links("http://a/b.ks http://c/d.ks"), "/b.ks /d.ks");
    EXPECT_EQ(http_rewrite_ks_links("tail http://h/x.ks"), "tail /x.ks");
}

TEST(Gate, LockDurationsDoubleAndStayCapped) {
    EXPECT_EQ(gate_lock_seconds(5), 0);
    EXPECT_EQ(gate_lock_seconds(6), 30);
    EXPECT_EQ(gate_lock_seconds(7), 60);
    EXPECT_EQ(gate_lock_seconds(12), 1920);
    EXPECT_EQ(gate_lock_seconds(13), 3600);
    EXPECT_EQ(gate_lock_seconds(70), 3600);
    EXPECT_EQ(gate_lock_seconds(UINT32_MAX), 3600);
}

TEST(Config, TrustEntriesAndSecrets) {
    srv_trust t;
    ASSERT_TRUE(srv_parse_trust("1234:60:192.168.1.5", &t));
    EXPECT_STREQ(t.code, "1234");
    EXPECT_STREQ(t.ip, "192.168.1.5");
    EXPECT_FALSE(srv_parse_trust("1234:192.168.1.5", &t));
    EXPECT_TRUE(srv_secret_equal("abc", "abc"));
    EXPECT_FALSE(srv_secret_equal("abc", "abd"));
    EXPECT_FALSE(srv_secret_equal("abc", "abcd"));
    EXPECT_FALSE(srv_secret_equal("", "x"));
}

TEST(Config, IniReaderSectionsAndComments) {
    std::map<std::string, std::string> got;
    srv_ini_parse(std::string("; c\nport=1\n[scada]\n  wwwdir = ./w \n# x\n// y\n[other]\nk=v\n"
                              "noeq\n[awp_slot]\ntrust1 = a:b:c"),
                  [&](const std::string &s, const std::string &k, const std::string &v) {
                      got[s + "." + k] = v;
                  });
    EXPECT_EQ(got[".port"], "1");
    EXPECT_EQ(got["scada.wwwdir"], "./w");
    EXPECT_EQ(got["other.k"], "v");
    EXPECT_EQ(got["awp_slot.trust1"], "a:b:c");
    EXPECT_EQ(got.size(), 4u);
}

TEST(Tags, NumbersAreCheckedForOverflowAndSign) {
    char k;
    long n;
    ASSERT_TRUE(api_parse_tag("a12", &k, &n));
    EXPECT_EQ(k, 'A');
    EXPECT_EQ(n, 12);
    ASSERT_TRUE(api_parse_tag("D0", &k, &n));
    EXPECT_EQ(n, 0);
    EXPECT_FALSE(api_parse_tag("A-1", &k, &n));
    EXPECT_FALSE(api_parse_tag("A+1", &k, &n));
    EXPECT_FALSE(api_parse_tag("A99999999999999999999", &k, &n));
    EXPECT_FALSE(api_parse_tag("A1x", &k, &n));
    EXPECT_FALSE(api_parse_tag("Q1", &k, &n));
    EXPECT_FALSE(api_parse_tag("A", &k, &n));
}
