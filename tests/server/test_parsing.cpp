// Request parsing, link rewriting and the small parsers of the server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/yaml.h"
#include "server/eng_gate.h"
#include "server/http.h"
#include "server/rt_common.h"
#include "server/rt_plc.h"
#include "server/srv_config.h"
#include "server/srv_static.h"
#include "tests/support/files.h"

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
    // The query is split first and each value decoded: an encoded ampersand
    // stays inside its value.
    EXPECT_STREQ(r.query, "x=1%262&y=%zz");
    char v[64];
    ASSERT_TRUE(http_query_param(&r, "x", v, sizeof v));
    EXPECT_STREQ(v, "1&2");
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

// The legacy INI configuration: comments, keys before any section, other
// sections ignored, repeated sections and keys (the last assignment wins).
TEST(Config, IniReaderSectionsAndComments) {
    tsup::TempDir tmp("zqsrv_ini");
    std::string dir = tmp.path;
    std::string path = dir + "/zqserver.conf";
    std::ofstream(path) << "; c\nport=1\n[scada]\n  wwwdir = ./w \n# x\n// y\n[other]\nport=9\n"
                           "noeq\n[awp_slot]\ntrust1 = a:b:c\n[scada]\npoll_ms = 5\npoll_ms=7\n"
                           "[awp_slot]\ntrust2=d:e:f";
    srv_config cfg;
    srv_config_load(&cfg, path.c_str());
    EXPECT_EQ(cfg.port, 1);
    EXPECT_STREQ(cfg.wwwdir, "./w");
    EXPECT_EQ(cfg.poll_ms, 7);
    ASSERT_EQ(cfg.n_trust, 2);
    EXPECT_STREQ(cfg.trust[0].code, "a");
    EXPECT_STREQ(cfg.trust[0].ip, "c");
    EXPECT_STREQ(cfg.trust[1].ip, "f");
}

TEST(Tags, NumbersAreCheckedForOverflowAndSign) {
    char k;
    long n;
    ASSERT_TRUE(rt_parse_tag("a12", &k, &n));
    EXPECT_EQ(k, 'A');
    EXPECT_EQ(n, 12);
    ASSERT_TRUE(rt_parse_tag("D0", &k, &n));
    EXPECT_EQ(n, 0);
    EXPECT_FALSE(rt_parse_tag("A-1", &k, &n));
    EXPECT_FALSE(rt_parse_tag("A+1", &k, &n));
    EXPECT_FALSE(rt_parse_tag("A99999999999999999999", &k, &n));
    EXPECT_FALSE(rt_parse_tag("A1x", &k, &n));
    EXPECT_FALSE(rt_parse_tag("Q1", &k, &n));
    EXPECT_FALSE(rt_parse_tag("A", &k, &n));
}

// The autosync switch rewrites the operator's config.yaml: every other line
// must survive, and the result must read back as the new list.
static std::vector<std::string> autosync_list(const std::string &yaml) {
    std::vector<std::string> out;
    json_ptr root(yaml_parse(yaml.c_str()));
    const json_node *l = json_get(json_get(json_get(root.get(), "logix"), "time"), "autosync");
    for (const json_node *c = l ? l->child : nullptr; c; c = c->next)
        out.push_back(c->type == JSON_STRING ? c->string : "?");
    return out;
}

TEST(Autosync, ReplacesInlineListKeepingEverythingElse) {
    const std::string before =
        "# site\nlogix:\n  shm_name: /x\n  time:\n    tz_offset_min: 120\n"
        "    autosync: [\"1.1.1.1\\\\backplane\\\\0\"]   # old\n    autosync_threshold_ms: 500\n"
        "  groups:\n    - id: 0\n      items: |\n        A1,v,T\n# tail\nscada:\n  port: 1\n";
    std::string after = before;
    ASSERT_EQ(autosync_rewrite(&after, {"2.2.2.2\\backplane\\1", "3.3.3.3\\backplane\\0"}, 2000),
              0);
    EXPECT_EQ(after,
              "# site\nlogix:\n  shm_name: /x\n  time:\n    tz_offset_min: 120\n    autosync:\n"
              "      - \"2.2.2.2\\\\backplane\\\\1\"\n      - \"3.3.3.3\\\\backplane\\\\0\"\n"
              "    autosync_threshold_ms: 500\n  groups:\n    - id: 0\n      items: |\n"
              "        A1,v,T\n# tail\nscada:\n  port: 1\n");
    EXPECT_EQ(autosync_list(after),
              (std::vector<std::string>{"2.2.2.2\\backplane\\1", "3.3.3.3\\backplane\\0"}));
    std::string off = after;
    ASSERT_EQ(autosync_rewrite(&off, {}, 2000), 0);
    EXPECT_TRUE(autosync_list(off).empty());
    EXPECT_NE(off.find("    autosync: []\n    autosync_threshold_ms: 500\n  groups:\n"),
              std::string::npos);
}

TEST(Autosync, AddsMissingBlocks) {
    const std::vector<std::string> one = {"10.0.0.1\\backplane\\0"};
    // No logix section at all.
    auto rewrite = [](std::string text, const std::vector<std::string> &list, int thr) {
        EXPECT_EQ(autosync_rewrite(&text, list, thr), 0);
        return text;
    };
    std::string a = rewrite("scada:\n  port: 1\n", one, 1500);
    EXPECT_EQ(a.rfind("scada:\n  port: 1\nlogix:\n  time:\n    autosync:\n", 0), 0u) << a;
    EXPECT_NE(a.find("    autosync_threshold_ms: 1500   # |розбіжність| ПЛК/машина"),
              std::string::npos);
    EXPECT_EQ(autosync_list(a), one);
    // logix without time, indented by four: the new block keeps the file's step.
    std::string b = rewrite("logix:\n    shm_name: /y\nalarm:\n  dir: ./a\n", one, 2000);
    EXPECT_EQ(b.rfind("logix:\n    shm_name: /y\n    time:\n        autosync:\n"
                      "            - \"10.0.0.1",
                      0),
              0u)
        << b;
    EXPECT_NE(b.find("        autosync_threshold_ms: 2000   # |розбіжність|"), std::string::npos);
    EXPECT_NE(b.find("\nalarm:\n  dir: ./a\n"), std::string::npos);
    EXPECT_EQ(autosync_list(b), one);
    // time without autosync, threshold already there: only the list is added.
    std::string c = rewrite(
        "logix:\n  time:\n    # clock\n    autosync_threshold_ms: 900\n  groups: []\n", one, 2000);
    EXPECT_EQ(c,
              "logix:\n  time:\n    # clock\n    autosync_threshold_ms: 900\n    autosync:\n"
              "      - \"10.0.0.1\\\\backplane\\\\0\"\n  groups: []\n");
    // A block list with trailing comments.
    std::string d = rewrite(
        "logix:\n  time:\n    autosync:\n      - \"a\"\n      - \"b\"\n    # note\n  groups: []\n",
        {}, 2000);
    EXPECT_EQ(d, "logix:\n  time:\n    autosync: []\n    # note\n  groups: []\n");
    // A path that holds a value is not a map: refused, text unchanged.
    std::string e = "logix: 5\n";
    EXPECT_NE(autosync_rewrite(&e, one, 2000), 0);
    EXPECT_EQ(e, "logix: 5\n");
}

TEST(Autosync, EntriesWrittenWithRawBackslashesAreReadAsMeant) {
    EXPECT_EQ(autosync_entry_path("10.0.0.3backplane1"), "10.0.0.3\\backplane\\1");
    EXPECT_EQ(autosync_entry_path("192.168.100.254backplane12"), "192.168.100.254\\backplane\\12");
    for (const char *keep : {"10.0.0.3\\backplane\\1", "10.0.0.3backplane", "10.0.0.3backplane1x",
                             "10.0.0backplane1", "10.0.0.256backplane1", "1.2.3.4.5backplane1",
                             "10.0.0.3 backplane1", "plcbackplane1", "10.0.0.3\\backplane1", ""})
        EXPECT_EQ(autosync_entry_path(keep), keep);
}

// Values in answers must keep the bytes "%.15g" always gave them: pages and
// peers compare them as text.
TEST(Parsing, NumbersFormatLikePrintfFifteenDigits) {
    std::vector<double> vals = {0.0,      -0.0,
                                0.1,      1.0 / 3,
                                123.456,  -98765.4321,
                                1e15,     1e16,
                                1e-5,     1e-4,
                                5e-324,   1.7976931348623157e308,
                                2.5e-310, 123456789012345678.0,
                                100.0,    0.000123456789012345678};
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (int i = 0; i < 20000; i++) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        double d;
        memcpy(&d, &x, sizeof d);
        if (std::isfinite(d)) vals.push_back(d);
        vals.push_back(double(int64_t(x % 2000001) - 1000000) / 1000.0);
    }
    for (double v : vals) {
        char want[64];
        snprintf(want, sizeof want, "%.15g", v);
        std::string got;
        rt_fmt_num(got, v);
        ASSERT_EQ(got, want) << v;
    }
    std::string nan;
    rt_fmt_num(nan, NAN);
    EXPECT_EQ(nan, "null");
}
