// Operator-page deployment through the real zqserver: what lands in wwwdir,
// what hostile archives leave behind (nothing), snapshots, rollback and
// who may do it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <filesystem>
#include <map>

#include "common/json.h"
#include "server_fixture.h"
#include "test_eng_www_util.h"

using namespace srvtest;
using namespace engwww;
namespace fs = std::filesystem;

namespace {

const char PASSWORD[] = "pw-7788";
// Past the server's bound for the uncompressed total of an archive.
constexpr uint64_t ENG_BOMB_BYTES = 520ull << 20;

// Every path below `root` with its contents ("<dir>" for folders).
std::map<std::string, std::string> tree_of(const std::string &root) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = fs::relative(it->path(), root).string();
        out[rel] = it->is_directory() ? "<dir>" : read_file(it->path().string());
    }
    return out;
}

struct www_server {
    server_proc srv;
    headers pw{{"Authorization", basic_auth(PASSWORD)}};
    explicit www_server(const std::string &wwwdir_line = "")
        : srv(std::string("  eng_password: \"") + PASSWORD + "\"\n" + wwwdir_line) {}
    std::string www() const { return srv.dir + "/www"; }
    std::string snapdir() const { return srv.dir + "/www_snapshots"; }
    response deploy(const std::string &zip, const std::string &dir = "", const headers &h = {}) {
        headers hh = h.empty() ? pw : h;
        hh.push_back({"Content-Type", "application/zip"});
        return parse(srv.post("/api/eng/www/deploy" + (dir.empty() ? "" : "?dir=" + dir), zip, hh));
    }
    response get(const std::string &target, const headers &h = {}) {
        return parse(srv.get(target, h.empty() ? pw : h));
    }
    response rollback(const std::string &id, const headers &h = {}) {
        headers hh = h.empty() ? pw : h;
        hh.push_back({"Content-Type", "application/json"});
        return parse(srv.post("/api/eng/www/rollback", "{\"id\":\"" + id + "\"}", hh));
    }
    std::string audit() const { return tsup::read_dir_files(srv.dir + "/logs", "eng_audit-"); }
};

std::string member(const std::string &json, const std::string &key) {
    json_ptr root(json_parse(json.c_str()));
    const json_node *n = json_get(root.get(), key.c_str());
    if (!n) return "<absent>";
    if (n->type == JSON_STRING) return n->string;
    if (n->type == JSON_NUMBER) return std::to_string((long long)n->number);
    if (n->type == JSON_BOOL) return n->boolean ? "true" : "false";
    return "<other>";
}

}  // namespace

TEST(EngWww, DeployOverlaysPagesAndServesThem) {
    www_server w;
    write_file(w.www() + "/keep.html", "old page stays");
    write_file(w.www() + "/index.html", "old index");
    // Left by a server that died in the middle of a deployment.
    mkdir((w.srv.dir + "/.www.staging.20260101_000000.1.0").c_str(), 0755);
    write_file(w.srv.dir + "/.www.staging.20260101_000000.1.0/half.html", "x");
    ASSERT_TRUE(w.srv.start());

    std::string zip = make_zip({{"index.html", "<h1>new</h1>"},
                                {"css/", ""},
                                {"css/site.CSS", "body{}"},
                                {"img\\logo.png", "\x89PNG"}});
    response r = w.deploy(zip);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.header("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(member(r.body, "files"), "3");
    EXPECT_EQ(member(r.body, "dir"), "/");
    std::string snap = member(r.body, "snapshot");
    // The snapshot holds the pages as they were before.
    auto before = read_zip(read_file(w.snapdir() + "/" + snap + ".zip"));
    ASSERT_EQ(before.size(), 2u);
    EXPECT_EQ(before[0].name + "=" + before[0].data, "index.html=old index");

    EXPECT_EQ(read_file(w.www() + "/index.html"), "<h1>new</h1>");
    EXPECT_EQ(read_file(w.www() + "/keep.html"), "old page stays");
    EXPECT_EQ(read_file(w.www() + "/css/site.CSS"), "body{}");
    EXPECT_EQ(read_file(w.www() + "/img/logo.png"), "\x89PNG");  // a backslash separates too
    EXPECT_EQ(parse(w.srv.get("/index.html")).body, "<h1>new</h1>");
    // Nothing of the work stays beside the pages.
    for (const std::string &n : tsup::list_dir(w.srv.dir))
        EXPECT_NE(n[0], '.') << n;

    // Into a subfolder, created on the way.
    r = w.deploy(make_zip({{"p.js", "x=1"}}), "panel_2");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(member(r.body, "dir"), "panel_2");
    EXPECT_EQ(read_file(w.www() + "/panel_2/p.js"), "x=1");
    r = w.deploy(make_zip({{"p.js", "x=1"}}), "..%2Fetc");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(member(r.body, "error"), "некоректна підтека (лише A-Z a-z 0-9 _ -)");
    EXPECT_EQ(w.deploy(make_zip({{"index.html", "phish"}}), "Eng").status, 400);
    EXPECT_FALSE(file_exists(w.www() + "/Eng"));

    std::string audit = w.audit();
    EXPECT_NE(audit.find("\"who\":\"(пароль)\",\"ip\":\"127.0.0.1\",\"action\":\"www/deploy\"}"),
              std::string::npos)
        << audit;
    EXPECT_NE(audit.find("\"action\":\"www/deploy dir=panel_2\"}"), std::string::npos);

    // Download: the same tree back as a ZIP.
    response pull = w.get("/api/eng/www/pull");
    ASSERT_EQ(pull.status, 200);
    EXPECT_EQ(pull.header("Content-Type"), "application/zip");
    std::map<std::string, std::string> pulled;
    for (const zip_file &f : read_zip(pull.body))
        pulled[f.name] = f.data;
    EXPECT_EQ(pulled["img/logo.png"], "\x89PNG");
    EXPECT_EQ(pulled["panel_2/p.js"], "x=1");
    EXPECT_EQ(pulled.count("css/"), 1u);
    EXPECT_EQ(pulled.size(), 8u);
    response sub = w.get("/api/eng/www/pull?dir=panel_2");
    ASSERT_EQ(read_zip(sub.body).size(), 1u);
    EXPECT_EQ(read_zip(sub.body)[0].name, "p.js");
    EXPECT_NE(w.audit().find("\"action\":\"www/pull dir=panel_2\"}"), std::string::npos);

    // GET on a POST endpoint and a foreign page's POST are refused.
    EXPECT_EQ(w.get("/api/eng/www/deploy").status, 405);
    headers foreign = w.pw;
    foreign.push_back({"Origin", "http://evil.example"});
    response cross = w.deploy(zip, "", foreign);
    EXPECT_EQ(cross.status, 403);
    EXPECT_EQ(member(cross.body, "error"), "cross_site");
}

TEST(EngWww, FingerprintFollowsNamesAndContents) {
    www_server w;
    ASSERT_TRUE(w.srv.start());
    response r = w.get("/api/eng/www/version");
    EXPECT_EQ(r.body, "{\"ok\":true,\"version\":\"00000000\",\"files\":0}");
    write_file(w.www() + "/b.html", "B");
    mkdir((w.www() + "/sub").c_str(), 0755);
    write_file(w.www() + "/sub/a.js", "A");
    std::string v1 = w.get("/api/eng/www/version").body;
    EXPECT_EQ(member(v1, "files"), "2");
    // Same files made in another order: same fingerprint.
    fs::remove_all(w.www());
    mkdir(w.www().c_str(), 0755);
    mkdir((w.www() + "/sub").c_str(), 0755);
    write_file(w.www() + "/sub/a.js", "A");
    write_file(w.www() + "/b.html", "B");
    EXPECT_EQ(w.get("/api/eng/www/version").body, v1);
    // A link is not followed.
    symlink("/etc/hostname", (w.www() + "/link.html").c_str());
    EXPECT_EQ(w.get("/api/eng/www/version").body, v1);
    rename((w.www() + "/b.html").c_str(), (w.www() + "/c.html").c_str());
    EXPECT_NE(w.get("/api/eng/www/version").body, v1);
    rename((w.www() + "/c.html").c_str(), (w.www() + "/b.html").c_str());
    write_file(w.www() + "/b.html", "b");
    EXPECT_NE(w.get("/api/eng/www/version").body, v1);
}

TEST(EngWww, HostileArchivesChangeNothing) {
    www_server w;
    write_file(w.www() + "/index.html", "original");
    ASSERT_TRUE(w.srv.start());
    auto project_before = tree_of(w.srv.dir);
    auto www_before = tree_of(w.www());
    struct hostile {
        const char *what;
        std::string zip;
        std::string error;  // expected message, prefix
    };
    std::string stray = "\x01\x02 outside";
    std::vector<hostile> cases = {
        {"dot-dot", make_raw_zip({{"ok.html", "x"}, {"../escape.html", stray}}),
         "небезпечний шлях в архіві: ../escape.html"},
        {"dot-dot inside", make_raw_zip({{"a/b/../../../escape.html", stray}}),
         "небезпечний шлях в архіві: "},
        {"backslash dot-dot", make_raw_zip({{"a\\..\\..\\escape.html", stray}}),
         "небезпечний шлях в архіві: "},
        {"absolute", make_raw_zip({{"/tmp/escape.html", stray}}), "небезпечний шлях в архіві: "},
        {"backslash root", make_raw_zip({{"\\escape.html", stray}}), "небезпечний шлях в архіві: "},
        {"drive letter", make_raw_zip({{"C:escape.html", stray}}), "небезпечний шлях в архіві: "},
        {"symlink", make_raw_zip({{"ok.html", "x"}, {"link.html", "/etc/passwd", 0120777}}),
         "архів містить symlink — відхилено"},
        {"text file", make_zip({{"index.html", "x"}, {"notes.txt", "x"}}),
         "недозволений тип файла: notes.txt"},
        {"no extension", make_zip({{"Makefile", "x"}}), "недозволений тип файла: Makefile"},
        {"editor folder", make_zip({{"ok.html", "x"}, {"ENG/index.html", "phish"}}),
         "тека eng/ зарезервована для інженерного редактора: ENG/index.html"},
        {"folders only", make_zip({{"a/", ""}, {"a/b/", ""}}), "порожній архів (нема файлів)"},
        {"not a zip", "PK\x03\x04 garbage that is no archive", "архів пошкоджений або не ZIP"},
        {"lying size", make_raw_zip({{"ok.html", std::string(100000, 'z'), 0100644, 10}}),
         "розпак не вдався: архів завеликий"},
        {"zip bomb", make_bomb(ENG_BOMB_BYTES), "архів завеликий: понад 512 МіБ"},
    };
    for (const hostile &h : cases) {
        response r = w.deploy(h.zip);
        EXPECT_GE(r.status, 400) << h.what;
        EXPECT_LT(r.status, 600) << h.what;
        EXPECT_EQ(member(r.body, "ok"), "false") << h.what;
        EXPECT_EQ(member(r.body, "error").rfind(h.error, 0), 0u) << h.what << ": " << r.body;
        EXPECT_EQ(tree_of(w.www()), www_before) << h.what;
    }
    EXPECT_EQ(parse(w.srv.post("/api/eng/www/deploy", "", w.pw)).body,
              "{\"ok\":false,\"error\":\"порожнє тіло (немає ZIP)\"}");
    // No snapshot, no staging folder, nothing outside: the project is as it was
    // apart from the server's own logs.
    auto project_after = tree_of(w.srv.dir);
    for (auto *t : {&project_before, &project_after})
        std::erase_if(*t, [](const auto &kv) {
            return kv.first.rfind("logs", 0) == 0 || kv.first.rfind("std", 0) == 0 ||
                   kv.first.rfind("run", 0) == 0;
        });
    EXPECT_EQ(project_after, project_before);
    EXPECT_FALSE(file_exists("/tmp/escape.html") && read_file("/tmp/escape.html") == stray);
    EXPECT_EQ(w.audit().find("www/deploy"), std::string::npos);
}

namespace {

std::string stamp(time_t t) {
    struct tm lt;
    localtime_r(&t, &lt);
    char ts[32];
    strftime(ts, sizeof ts, "%Y%m%d_%H%M%S", &lt);
    return ts;
}

std::vector<std::string> snapshot_ids(www_server &w) {
    std::vector<std::string> ids;
    json_ptr root(json_parse(w.get("/api/eng/www/snapshots").body.c_str()));
    for (const json_node *n = root ? root->child : nullptr; n; n = n->next)
        ids.push_back(json_gets(n, "id", ""));
    return ids;
}

}  // namespace

TEST(EngWww, SnapshotsAreNamedUniquelyAndPruned) {
    www_server w;
    ASSERT_TRUE(w.srv.start());
    EXPECT_EQ(w.get("/api/eng/www/snapshots").body, "[]");
    // The first snapshot is of a missing folder: the empty ZIP.
    response r = w.deploy(make_zip({{"a.html", "0"}}));
    ASSERT_EQ(r.status, 200) << r.body;
    std::string empty = member(r.body, "snapshot");
    EXPECT_EQ(tsup::file_size(w.snapdir() + "/" + empty + ".zip"), 22);
    // ... which rolls back to an empty folder.
    r = w.rollback(empty);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_TRUE(tree_of(w.www()).empty());
    for (const std::string &n : tsup::list_dir(w.snapdir()))
        fs::remove(w.snapdir() + "/" + n);

    // Whatever second the next deployment falls in, its stamp is taken
    // already: it gets the counter.
    time_t now = time(nullptr);
    std::vector<std::string> taken;
    for (time_t t = now - 1; t <= now + 5; t++) {
        taken.push_back(stamp(t));
        write_file(w.snapdir() + "/" + taken.back() + ".zip", "");
    }
    r = w.deploy(make_zip({{"a.html", "1"}}));
    std::string id = member(r.body, "snapshot");
    ASSERT_GT(id.size(), 2u);
    EXPECT_EQ(id.substr(id.size() - 2), "_1") << id;
    EXPECT_NE(std::find(taken.begin(), taken.end(), id.substr(0, id.size() - 2)), taken.end());
    for (const std::string &t : taken)
        fs::remove(w.snapdir() + "/" + t + ".zip");
    fs::remove(w.snapdir() + "/" + id + ".zip");

    // Twelve deployments: the ten newest snapshots stay, newest first.
    std::vector<std::string> made;
    for (int i = 0; i < 12; i++) {
        r = w.deploy(make_zip({{"a.html", std::to_string(i)}}));
        ASSERT_EQ(r.status, 200) << r.body;
        made.push_back(member(r.body, "snapshot"));
    }
    std::vector<std::string> want(made.rbegin(), made.rbegin() + 10);
    EXPECT_EQ(snapshot_ids(w), want);
    EXPECT_EQ(tsup::list_dir(w.snapdir()).size(), 10u);
    EXPECT_EQ(read_file(w.www() + "/a.html"), "11");
}

TEST(EngWww, RollbackRestoresTheExactTree) {
    www_server w;
    write_file(w.www() + "/index.html", "first");
    mkdir((w.www() + "/deep").c_str(), 0755);
    mkdir((w.www() + "/deep/er").c_str(), 0755);
    mkdir((w.www() + "/empty").c_str(), 0755);
    write_file(w.www() + "/deep/er/bin.gif", std::string("GIF\0\xff\x01", 6));
    write_file(w.www() + "/notes.txt", "any type may be rolled back");
    ASSERT_TRUE(w.srv.start());
    auto first = tree_of(w.www());

    response r = w.deploy(make_zip({{"index.html", "second"}, {"deep/new.js", "n"}}));
    ASSERT_EQ(r.status, 200) << r.body;
    std::string snap = member(r.body, "snapshot");
    auto second = tree_of(w.www());
    ASSERT_NE(second, first);

    r = w.rollback(snap);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(member(r.body, "restored"), snap);
    std::string safety = member(r.body, "safety");
    EXPECT_EQ(tree_of(w.www()), first);
    EXPECT_NE(w.audit().find("\"action\":\"www/rollback " + snap + "\"}"), std::string::npos);

    // Without an id the newest snapshot, the safety one, comes back.
    r = w.rollback("");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(member(r.body, "restored"), safety);
    EXPECT_EQ(tree_of(w.www()), second);

    r = w.rollback("../../etc");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(member(r.body, "error"), "некоректний id знімка");
    r = w.rollback("20000101_000000");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(member(r.body, "error"), "знімок 20000101_000000 не знайдено");
    EXPECT_EQ(tree_of(w.www()), second);

    // A snapshot tampered into a hostile archive is refused before any change.
    write_file(w.snapdir() + "/evil.zip", make_raw_zip({{"../../escape.html", "x"}}));
    r = w.rollback("evil");
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(member(r.body, "error"),
              "розпак знімка не вдався: небезпечний шлях в архіві: ../../escape.html");
    EXPECT_EQ(tree_of(w.www()), second);
}

TEST(EngWww, RollbackKeepsTheRestoredSnapshotWhenPruning) {
    www_server w;
    write_file(w.www() + "/a.html", "start");
    ASSERT_TRUE(w.srv.start());
    std::string oldest;
    for (int i = 0; i < 10; i++) {
        response r = w.deploy(make_zip({{"a.html", std::to_string(i)}}));
        ASSERT_EQ(r.status, 200);
        if (i == 0) oldest = member(r.body, "snapshot");
    }
    // Restoring the oldest of ten: its safety snapshot is the eleventh, and
    // pruning must not take the one just restored.
    response r = w.rollback(oldest);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(read_file(w.www() + "/a.html"), "start");
    std::vector<std::string> ids = snapshot_ids(w);
    EXPECT_EQ(ids.size(), 11u);
    EXPECT_EQ(ids.back(), oldest);
}

TEST(EngWww, RefusesAWwwdirHoldingTheProject) {
    for (const char *dir : {".", "./", "..", "/", "www/.."}) {
        www_server w(std::string("  wwwdir: \"") + dir + "\"\n");
        // The fixture wrote its own wwwdir first; the later key wins.
        ASSERT_TRUE(w.srv.start()) << dir;
        auto before = tree_of(w.srv.dir);
        response r = w.deploy(make_zip({{"index.html", "x"}}));
        EXPECT_EQ(r.status, 500) << dir;
        EXPECT_EQ(member(r.body, "error"), "недопустимий шлях www") << dir;
        r = w.rollback("");
        EXPECT_EQ(member(r.body, "error"), "недопустимий шлях www") << dir;
        EXPECT_EQ(w.get("/api/eng/www/pull").status, 500) << dir;
        EXPECT_TRUE(file_exists(w.srv.dir + "/config.yaml")) << dir;
        EXPECT_FALSE(file_exists(w.srv.dir + "/index.html")) << dir;
    }
}

TEST(EngWww, PersonalTokenRequiredOnceOneExists) {
    www_server w;
    ASSERT_TRUE(w.srv.start());
    std::string zip = make_zip({{"index.html", "x"}});
    ASSERT_EQ(w.deploy(zip).status, 200);  // no token yet: the password suffices

    const std::string token(64, 'c');
    write_file(w.srv.dir + "/eng_tokens.json", token_store("ivan", token));
    response r = w.deploy(zip);
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(r.body,
              "{\"ok\":false,\"error\":\"token_required\","
              "\"msg\":\"Деплой лише за особистим токеном (не паролем)\"}");
    EXPECT_EQ(member(w.get("/api/eng/www/pull").body, "msg"),
              "Отримання www лише за особистим токеном (не паролем)");
    EXPECT_EQ(member(w.rollback("").body, "msg"), "Відкат лише за особистим токеном (не паролем)");
    // Reading needs no token.
    EXPECT_EQ(w.get("/api/eng/www/version").status, 200);

    headers bearer{{"Authorization", "Bearer " + token}};
    r = w.deploy(make_zip({{"index.html", "by ivan"}}), "", bearer);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(read_file(w.www() + "/index.html"), "by ivan");
    EXPECT_NE(w.audit().find("\"who\":\"ivan\""), std::string::npos);
    EXPECT_EQ(w.rollback("", bearer).status, 200);
    EXPECT_EQ(read_file(w.www() + "/index.html"), "x");

    // A store that cannot be read is no licence for the password.
    write_file(w.srv.dir + "/eng_tokens.json", "{\"tokens\":[{broken");
    r = w.deploy(zip);
    EXPECT_EQ(r.status, 500);
    EXPECT_EQ(read_file(w.www() + "/index.html"), "x");
}
