// config.yaml line editor: one key changes, every other line stays byte for
// byte, and the file keeps reading as the same tree whatever its indentation.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "common/yaml.h"
#include "common/yaml_edit.h"

namespace {

const char *const LOGIX_TIME[] = {"logix", "time"};
const char *const LOGIX[] = {"logix"};
const yaml_edit_path P_TIME{LOGIX_TIME, 2};
const yaml_edit_path P_LOGIX{LOGIX, 1};

std::vector<std::string> lines_of(const std::string &t) {
    std::vector<std::string> v;
    std::istringstream in(t);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

// Lines of `before` that are missing from `after`, in order.
std::vector<std::string> lost_lines(const std::string &before, const std::string &after) {
    std::vector<std::string> a = lines_of(before), b = lines_of(after), lost;
    size_t j = 0;
    for (const std::string &l : a) {
        size_t k = j;
        while (k < b.size() && b[k] != l)
            k++;
        if (k == b.size())
            lost.push_back(l);
        else
            j = k + 1;
    }
    return lost;
}

std::vector<std::string> list_at(const json_node *root, const char *a, const char *b,
                                 const char *key) {
    std::vector<std::string> v;
    const json_node *n = json_get(json_get(json_get(root, a), b), key);
    for (const json_node *c = n ? n->child : nullptr; c; c = c->next)
        v.push_back(json_str_of(c, "?"));
    return v;
}

}  // namespace

TEST(YamlEdit, ReplacesOneListAndKeepsEveryOtherLine) {
    std::string text =
        "# plant configuration\n"
        "scada:\n"
        "  port: 8080   # operator pages\n"
        "logix:\n"
        "  shm_name: /logix_drv\n"
        "  time:\n"
        "    tz_offset_min: 120\n"
        "    autosync:\n"
        "      - \"10.0.0.2\\\\backplane\\\\0\"\n"
        "      # old controller\n"
        "      - \"10.0.0.3\\\\backplane\\\\1\"\n"
        "    # keep this remark\n"
        "\n"
        "    autosync_threshold_ms: 2000\n"
        "  groups:\n"
        "    - id: 1\n"
        "trends:\n"
        "  timesec: 1\n";
    std::string out = text;
    ASSERT_EQ(yaml_edit_set_block(&out, P_TIME, "autosync", {"- \"10.0.0.9\\\\backplane\\\\2\""}),
              YAML_EDIT_OK);
    std::vector<std::string> lost = lost_lines(text, out);
    ASSERT_EQ(lost.size(), 3u);  // the two old entries and the comment inside the list
    EXPECT_NE(out.find("    autosync:\n      - \"10.0.0.9\\\\backplane\\\\2\"\n    # keep this"),
              std::string::npos)
        << out;
    json_ptr root(yaml_parse(out.c_str()));
    EXPECT_EQ(list_at(root.get(), "logix", "time", "autosync"),
              std::vector<std::string>{"10.0.0.9\\backplane\\2"});
    EXPECT_EQ(
        json_geti(json_get(json_get(root.get(), "logix"), "time"), "autosync_threshold_ms", 0),
        2000);
    EXPECT_EQ(json_geti(json_get(root.get(), "trends"), "timesec", 0), 1);

    // An empty list reads back as an empty sequence.
    ASSERT_EQ(yaml_edit_set_block(&out, P_TIME, "autosync", {}), YAML_EDIT_OK);
    EXPECT_NE(out.find("    autosync: []\n"), std::string::npos);
    root.reset(yaml_parse(out.c_str()));
    const json_node *as = json_get(json_get(json_get(root.get(), "logix"), "time"), "autosync");
    ASSERT_NE(as, nullptr);
    EXPECT_EQ(as->type, (uint32_t)JSON_ARRAY);
}

// The reader stops at a line whose indentation matches no open block: keys
// written with a fixed two spaces into a file indented by four would lose
// every later section.
TEST(YamlEdit, FollowsTheFilesOwnIndentation) {
    std::string text =
        "logix:\n"
        "    shm_name: /logix_drv\n"
        "    groups:\n"
        "        - id: 1\n"
        "          ipaddr: 10.0.0.2\n"
        "trends:\n"
        "    timesec: 1\n"
        "backup:\n"
        "    enabled: 1\n";
    std::string out = text;
    ASSERT_EQ(yaml_edit_set_block(&out, P_TIME, "autosync", {"- \"a\""}), YAML_EDIT_OK);
    ASSERT_EQ(yaml_edit_set_scalar(&out, P_TIME, "autosync_threshold_ms", "1500", "межа, мс"),
              YAML_EDIT_OK);
    EXPECT_TRUE(lost_lines(text, out).empty()) << out;
    EXPECT_NE(out.find("\n    time:\n        autosync:\n            - \"a\"\n"
                       "        autosync_threshold_ms: 1500   # межа, мс\ntrends:"),
              std::string::npos)
        << out;
    json_ptr root(yaml_parse(out.c_str()));
    EXPECT_EQ(list_at(root.get(), "logix", "time", "autosync"), std::vector<std::string>{"a"});
    EXPECT_EQ(json_geti(json_get(root.get(), "backup"), "enabled", 0), 1);
    EXPECT_EQ(json_geti(json_get(root.get(), "trends"), "timesec", 0), 1);
    const json_node *g = json_get(json_get(root.get(), "logix"), "groups");
    ASSERT_TRUE(g && g->child);
    EXPECT_STREQ(json_gets(g->child, "ipaddr", ""), "10.0.0.2");
}

TEST(YamlEdit, ScalarsMissingSectionsAndOddFiles) {
    // Replacing keeps the remark after the old value and drops a block that
    // hung below the key.
    std::string t = "scada:\n  port: 8080   # pages\n  poll_ms:\n    - 1\nlogix:\n  shm_name: x\n";
    const char *const SCADA[] = {"scada"};
    ASSERT_EQ(yaml_edit_set_scalar(&t, {SCADA, 1}, "port", "9090"), YAML_EDIT_OK);
    ASSERT_EQ(yaml_edit_set_scalar(&t, {SCADA, 1}, "poll_ms", "250"), YAML_EDIT_OK);
    EXPECT_EQ(t, "scada:\n  port: 9090   # pages\n  poll_ms: 250\nlogix:\n  shm_name: x\n");

    // A missing section is appended, also to a file without a final newline;
    // the file's step is taken for the new keys.
    std::string u = "scada:\n   port: 1";
    const char *const BACKUP[] = {"backup"};
    ASSERT_EQ(yaml_edit_set_scalar(&u, {BACKUP, 1}, "keep", "7"), YAML_EDIT_OK);
    EXPECT_EQ(u, "scada:\n   port: 1\nbackup:\n   keep: 7\n");

    // A repeated key: the reader lets the last one win, so that one changes.
    std::string r = "logix:\n  shm_name: a\n  shm_name: b\n";
    ASSERT_EQ(yaml_edit_set_scalar(&r, P_LOGIX, "shm_name", "c"), YAML_EDIT_OK);
    EXPECT_EQ(r, "logix:\n  shm_name: a\n  shm_name: c\n");

    // "{}" is an empty map; any other value on the path is not a map.
    std::string e = "logix: {}\ntrends:\n  timesec: 1\n";
    ASSERT_EQ(yaml_edit_set_scalar(&e, P_TIME, "dst", "1"), YAML_EDIT_OK);
    EXPECT_EQ(e, "logix:\n  time:\n    dst: 1\ntrends:\n  timesec: 1\n");
    std::string v = "logix: 5\n";
    EXPECT_EQ(yaml_edit_set_scalar(&v, P_TIME, "dst", "1"), YAML_EDIT_BAD_PATH);
    EXPECT_EQ(v, "logix: 5\n");

    // Keys that would write another structure are refused.
    EXPECT_EQ(yaml_edit_set_scalar(&t, P_LOGIX, "a: b", "1"), YAML_EDIT_BAD_PATH);
    EXPECT_EQ(yaml_edit_set_scalar(&t, P_LOGIX, "k", "1\nevil: 2"), YAML_EDIT_BAD_PATH);
    EXPECT_EQ(yaml_edit_set_block(&t, P_LOGIX, "k", {"- a\nevil: 2"}), YAML_EDIT_BAD_PATH);

    // Removing takes the key and its block and nothing else.
    std::string w = "logix:\n  time:\n    autosync:\n      - a\n    dst: 1\n";
    ASSERT_EQ(yaml_edit_remove(&w, P_TIME, "autosync"), YAML_EDIT_OK);
    EXPECT_EQ(w, "logix:\n  time:\n    dst: 1\n");
    const char *const NOPE[] = {"nope", "deeper"};
    ASSERT_EQ(yaml_edit_remove(&w, {NOPE, 2}, "x"), YAML_EDIT_OK);
    EXPECT_EQ(w, "logix:\n  time:\n    dst: 1\n");
}

TEST(YamlEdit, FileEditsAreCheckedAndSerialised) {
    char dir[] = "/tmp/zqtest_yedit_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/config.yaml";
    auto slurp = [&] {
        std::ifstream in(path);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    // An unreadable configuration is never replaced.
    EXPECT_EQ(
        yaml_edit_file(path.c_str(), P_TIME,
                       [](std::string *t) { return yaml_edit_set_scalar(t, P_TIME, "dst", "1"); }),
        YAML_EDIT_UNREADABLE);
    struct stat st;
    EXPECT_NE(stat(path.c_str(), &st), 0);

    std::string orig = "logix:\n  shm_name: /x\ntrends:\n  timesec: 1\n";
    {
        std::ofstream o(path);
        o << orig;
    }
    // An edit that damages another section is refused and the file stays.
    EXPECT_EQ(yaml_edit_file(path.c_str(), P_LOGIX,
                             [](std::string *t) {
                                 *t += "  oops: 1\n";  // lands in trends
                                 return YAML_EDIT_OK;
                             }),
              YAML_EDIT_BROKEN);
    EXPECT_EQ(slurp(), orig);

    // Two threads editing different keys many times lose nothing.
    auto worker = [&](const char *key) {
        for (int i = 0; i < 40; i++) {
            std::string val = std::to_string(i);
            int rc = yaml_edit_file(path.c_str(), P_TIME, [&](std::string *t) {
                return yaml_edit_set_scalar(t, P_TIME, key, val);
            });
            EXPECT_EQ(rc, YAML_EDIT_OK);
        }
    };
    std::thread a(worker, "dst"), b(worker, "tz_offset_min");
    a.join();
    b.join();
    json_ptr root(yaml_parse(slurp().c_str()));
    const json_node *tm = json_get(json_get(root.get(), "logix"), "time");
    EXPECT_EQ(json_geti(tm, "dst", -1), 39);
    EXPECT_EQ(json_geti(tm, "tz_offset_min", -1), 39);
    EXPECT_EQ(json_geti(json_get(root.get(), "trends"), "timesec", 0), 1);
    EXPECT_STREQ(yaml_edit_strerror(YAML_EDIT_BROKEN),
                 "the edit would change other sections; file left as it was");
    unlink(path.c_str());
    rmdir(dir);
}
