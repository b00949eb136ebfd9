// The zqst tool as engineers use it: the library of plant programs with
// their expected results tick by tick, and the messages of `zqst check`.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kZqst = std::string(ZQ_BIN_DIR) + "/zqst";
const std::string kPrograms = std::string(ZQ_SOURCE_DIR) + "/tests/calc/programs";

struct result {
    int status;
    std::string out;
};

// Runs a shell command in Kyiv time; stdout (and stderr when asked).
result sh(const std::string &cmd, bool with_stderr = false) {
    std::string full = "TZ=Europe/Kyiv " + cmd + (with_stderr ? " 2>&1" : " 2>/dev/null");
    FILE *p = popen(full.c_str(), "r");
    result r{-1, ""};
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

struct temp_dir {
    std::string path;
    temp_dir() {
        char tmpl[] = "/tmp/zqst_test_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~temp_dir() { sh("rm -rf " + path); }
    std::string write(const std::string &name, const std::string &text) {
        std::string p = path + "/" + name;
        std::ofstream(p) << text;
        return p;
    }
};

TEST(zqst, ProgramLibraryMatchesExpectedTicks) {
    DIR *d = opendir(kPrograms.c_str());
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 3 && n.substr(n.size() - 3) == ".st")
            names.push_back(n.substr(0, n.size() - 3));
    }
    closedir(d);
    ASSERT_GE(names.size(), 5u);
    for (const std::string &n : names) {
        std::string st = kPrograms + "/" + n + ".st";
        std::string first = slurp(st).substr(0, slurp(st).find('\n'));
        ASSERT_EQ(first.rfind("// zqst: ", 0), 0u) << n;
        result r = sh(kZqst + " run " + st + " " + first.substr(9), true);
        EXPECT_EQ(r.status, 0) << n << ": " << r.out;
        EXPECT_EQ(r.out, slurp(kPrograms + "/" + n + ".out")) << n;
    }
}

TEST(zqst, CheckReportsLineAndColumn) {
    temp_dir t;
    std::string good = t.write("good.st", "// ok\nA1 := A2 * 2;\nD1 := A1 > 10;\n");
    result r = sh(kZqst + " check " + good);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, good + ": OK (програма, вузлів стану 0, рутин 0)\n");

    std::string bad = t.write("bad.st", "A1 := 1;\n  A2 := nosuch + 1;\n");
    r = sh(kZqst + " check " + bad);
    EXPECT_EQ(r.status, 1);
    // one line per message: the line break in the snippet shows as a blank
    EXPECT_EQ(r.out, bad + ":2:9: невідомий тег/ім'я біля «nosuch + 1; »\n");

    // program checks carry the line of the statement
    std::string rec = t.write("rec.st", "JSR(a);\nROUTINE a\n  JSR(a)\nEND_ROUTINE\n");
    r = sh(kZqst + " check " + rec);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, rec + ":3: рекурсивний виклик рутини\n");

    // declared variables for trying timer programs
    std::string timer = t.write("timer.st", "t.TimerEnable := D1; TONR(t); D2 := t.DN;");
    EXPECT_EQ(sh(kZqst + " check " + timer).status, 1);
    r = sh(kZqst + " check " + timer + " --var t:FBD_TIMER");
    EXPECT_EQ(r.status, 0) << r.out;

    EXPECT_EQ(sh(kZqst + " check " + t.path + "/missing.st").status, 2);
}

TEST(zqst, RunOptionsAndErrors) {
    temp_dir t;
    std::string p = t.write("p.st", "A2 := A1 * 2; D[A1] := 1; x := x + 1;");
    result r = sh(kZqst + " run " + p +
                      " --ticks 2 --start 2026-03-29T02:59:59 --set A1=3 "
                      "--set 2:A1=BAD --var x:INT",
                  true);
    EXPECT_EQ(r.status, 0) << r.out;
    // the clock jumps over the missing spring hour; indirect writes are shown too
    EXPECT_EQ(r.out,
              "tick 1 2026-03-29T02:59:59 A2=6 x=1 D3=1\n"
              "tick 2 2026-03-29T04:00:00 A2=BAD x=2 D3=1\n");
    std::string bad = t.write("bad.st", "A1 := (1 +;");
    r = sh(kZqst + " run " + bad + " --ticks 1", true);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("bad.st:1:11: очікувалось число, тег або '(' біля «;»"), std::string::npos)
        << r.out;
    EXPECT_EQ(sh(kZqst + " run " + p).status, 2);  // --ticks missing
    EXPECT_EQ(sh(kZqst + " run " + p + " --ticks 1 --takt 0").status, 2);
    EXPECT_EQ(sh(kZqst + " run " + p + " --ticks 1 --start yesterday").status, 2);
    EXPECT_EQ(sh(kZqst + " run " + p + " --ticks 1 --set A1").status, 2);
    EXPECT_EQ(sh(kZqst + " run " + p + " --ticks 1 --bogus 1").status, 2);
    EXPECT_EQ(sh(kZqst).status, 2);
    r = sh(kZqst + " --version");
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.out.empty());
}

TEST(zqst, HostileProgramsEndWithAMessage) {
    temp_dir t;
    std::string deep = t.write("deep.st", "A1 := " + std::string(100000, '(') + "1");
    result r = sh(kZqst + " check " + deep);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("вираз надто глибоко вкладений"), std::string::npos);
    std::string loop =
        t.write("loop.st", "A1 := 0; WHILE TRUE DO A1 := A1 + 1; END_WHILE; A2 := 1;");
    r = sh(kZqst + " run " + loop + " --ticks 2 --start 2026-01-01T00:00:00");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "tick 1 2026-01-01T00:00:00 A1=100000 A2=1\n"
              "tick 2 2026-01-01T00:00:01 A1=100000 A2=1\n");
    std::string junk = t.write("junk.st", std::string("\x01\xff\xfe:=\x80(*", 8));
    EXPECT_EQ(sh(kZqst + " check " + junk).status, 1);
}

}  // namespace

// The file's VAR block and the configuration's own tags, as in the engine.
TEST(zqst, VarBlockAndOwnTags) {
    temp_dir t;
    std::string cfg = t.write("config.yaml", "calc:\n  items:\n    - A10, int, level\n    - D2\n");
    std::string p = t.write("p.st",
                            "VAR\n  n : DINT := 5;\n  arr[3] : REAL := [1, 2(4)];\nEND_VAR\n"
                            "n := n + 1;\nlevel := arr[1] * 2.6;\nD2.3 := 1;\n");
    result r = sh(kZqst + " run " + p + " --ticks 2 --start 2026-01-01T00:00:00 -c " + cfg, true);
    EXPECT_EQ(r.status, 0) << r.out;
    // level is an INT own tag: 10.4 is stored as 10
    EXPECT_EQ(r.out,
              "tick 1 2026-01-01T00:00:00 n=6 A10=10 D2=8\n"
              "tick 2 2026-01-01T00:00:01 n=7 A10=10 D2=8\n");
    r = sh(kZqst + " check " + p + " -c " + cfg, true);
    EXPECT_EQ(r.status, 0) << r.out;
    // without the configuration the tag name is unknown; the VAR block still
    // keeps the program's line numbers
    r = sh(kZqst + " check " + p + " -c " + t.write("empty.yaml", "calc:\n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind(p + ":6:", 0), 0u) << r.out;
    // the editor's stricter reading of declarations
    std::string junk = t.write("junk.st", "VAR\n x : REAL junk;\nEND_VAR\nx := 1;\n");
    r = sh(kZqst + " check " + junk + " -c " + cfg);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, junk + ":2: VAR «x» — зайве після оголошення\n");
    EXPECT_EQ(sh(kZqst + " check " + p + " -c " + t.path + "/none.yaml").status, 2);
}
