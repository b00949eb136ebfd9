// Software updates through the real zqserver and the (test-key) updater it
// starts: refusals before anything is written, an upload that installs and
// is rolled back, the status the editor follows, and the update server's
// manifest (check, pull, SHA-256, hostile names).
#include <gtest/gtest.h>
#include <signal.h>

#include "test_eng_update_util.h"

using namespace updtest;

namespace {

const std::string NOT_INSTALLED_UPLOAD =
    "zqupdate не встановлено (або без setuid) — оновлення з веб недоступне";

response upload(update_site &s, const std::string &body, const std::string &mode = "") {
    return s.srv.epost("/api/eng/update" + (mode.empty() ? "" : "?mode=" + mode), body);
}

TEST(EngUpdate, WithoutAnInstalledUpdaterNothingIsWrittenOrStarted) {
    for (updater_kind kind : {NO_UPDATER, PLAIN_UPDATER}) {
        update_site s(kind, "", "update:\n  url: http://127.0.0.1:1/\n");
        ASSERT_TRUE(s.start());
        const std::string body =
            "#!/bin/sh\n# " + tsup::unique_name("upl") + "\n" + std::string(5000, 'x');
        response r = upload(s, body, "full");
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(r.body, "{\"ok\":false,\"error\":\"" + NOT_INSTALLED_UPLOAD + "\"}");
        EXPECT_EQ(tmp_copies_of(body), 0);
        EXPECT_EQ(member(s.srv.epost("/api/eng/update/pull", "").body, "error"),
                  "zqupdate не встановлено");
        EXPECT_EQ(member(s.srv
                             .epost("/api/eng/update/rollback",
                                    "{\"snapshot\":\"20260101_000000_zqstack_full.tar.gz\"}")
                             .body,
                         "error"),
                  "zqupdate не встановлено");
        // Nothing ran: no status, no snapshot folder, no audit line.
        EXPECT_EQ(s.srv.eget("/api/eng/update/status").body, "{\"state\":\"none\"}");
        EXPECT_EQ(s.srv.eget("/api/eng/update/snapshots").body, "{\"snapshots\":[]}");
        EXPECT_EQ(s.srv.audit().find("update/"), std::string::npos);
        EXPECT_EQ(read_file(s.stack / "zqsup"), "old zqsup");
    }
}

TEST(EngUpdate, UploadChecksAndRollbackNameRules) {
    update_site s(SETUID_UPDATER);
    ASSERT_TRUE(s.start());
    const std::string small = "#!" + std::string(98, 'x');
    response r = upload(s, small);
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(member(r.body, "error"), "це не схоже на файл дистрибутива (.run)");
    EXPECT_EQ(member(upload(s, std::string(5000, 'x')).body, "error"),
              "це не схоже на файл дистрибутива (.run)");
    EXPECT_EQ(tmp_copies_of(small), 0);

    for (const char *bad : {"a b.tar.gz", "../x.tar.gz", "x/y.tar.gz", "x.tgz", ".tar.gz",
                            "-x.tar.gz", "a..b.tar.gz"}) {
        r = s.srv.epost("/api/eng/update/rollback", std::string("{\"snapshot\":\"") + bad + "\"}");
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_EQ(member(r.body, "error"), "некоректне ім'я знімка") << bad;
    }
    EXPECT_EQ(s.srv.epost("/api/eng/update/rollback", "[1]").status, 400);
    EXPECT_EQ(s.srv.eget("/api/eng/update/status").body, "{\"state\":\"none\"}");

    // The shortest name passes; the updater finds no such snapshot and says so.
    r = s.srv.epost("/api/eng/update/rollback", "{\"snapshot\":\"a.tar.gz\"}");
    EXPECT_EQ(r.body, "{\"ok\":true,\"msg\":\"відкат запущено\"}");
    std::string st = s.finished_status("{\"state\":\"none\"}");
    EXPECT_EQ(member(st, "msg"), "відкат до знімка «a.tar.gz» виконано, сервіси перезапущено")
        << st;
    EXPECT_NE(s.updater_log().find("snapshot a.tar.gz нема в"), std::string::npos);
    EXPECT_NE(s.srv.audit().find("\"action\":\"update/rollback a.tar.gz\""), std::string::npos);
}

TEST(EngUpdate, UploadInstallsThenRollsBack) {
    update_site s(SETUID_UPDATER);
    ASSERT_TRUE(s.start());
    const std::string run = release_run("7.1", "zqsup of 7.1");
    response r = upload(s, run, "full");
    ASSERT_EQ(r.body, "{\"ok\":true,\"msg\":\"оновлення запущено\"}");
    std::string st = s.finished_status("{\"state\":\"none\"}");
    EXPECT_EQ(member(st, "state"), "ok") << st;
    EXPECT_EQ(member(st, "msg"), "стек оновлено до 7.1, сервіси перезапущено");
    EXPECT_EQ(member(st, "version"), "7.1");
    EXPECT_EQ(read_file(s.stack / "zqsup"), "zqsup of 7.1");
    EXPECT_EQ(read_file(s.stack / "www-sys/index.html"), "page of 7.1");
    EXPECT_EQ(tmp_copies_of(run), 0) << "the updater removes the server's temp file";
    EXPECT_NE(s.srv.audit().find("\"action\":\"update/full " + std::to_string(run.size()) + " B\""),
              std::string::npos);

    json_ptr snaps(json_parse(s.srv.eget("/api/eng/update/snapshots").body.c_str()));
    const json_node *list = json_get(snaps.get(), "snapshots");
    ASSERT_EQ(json_count(list), 1u);
    std::string name = json_gets(json_at(list, 0), "name", "");
    EXPECT_TRUE(name.ends_with("_zqstack_full.tar.gz")) << name;
    EXPECT_GT(json_geti(json_at(list, 0), "size", 0), 0);
    EXPECT_GT(json_geti(json_at(list, 0), "mtime", 0), 0);

    // A damaged upload starts too; the updater reports the refusal.
    std::string damaged = run;
    damaged[damaged.size() / 2] ^= 0x55;
    ASSERT_EQ(upload(s, damaged, "full").status, 200);
    st = s.finished_status(st);
    EXPECT_EQ(member(st, "state"), "error") << st;
    EXPECT_EQ(read_file(s.stack / "zqsup"), "zqsup of 7.1");

    r = s.srv.epost("/api/eng/update/rollback", "{\"snapshot\":\"" + name + "\"}");
    ASSERT_EQ(r.status, 200) << r.body;
    st = s.finished_status(st);
    EXPECT_EQ(member(st, "state"), "ok") << st;
    EXPECT_EQ(read_file(s.stack / "zqsup"), "old zqsup");
    EXPECT_EQ(read_file(s.stack / "www-sys/index.html"), "old page");
    EXPECT_FALSE(file_exists(s.stack / "zqnoise")) << "added by the update, gone with it";
    // Newest first: the rollback's own safety snapshot leads.
    json_ptr after(json_parse(s.srv.eget("/api/eng/update/snapshots").body.c_str()));
    list = json_get(after.get(), "snapshots");
    ASSERT_EQ(json_count(list), 2u);
    EXPECT_TRUE(
        std::string(json_gets(json_at(list, 0), "name", "")).ends_with("prerollback.tar.gz"));
}

TEST(EngUpdate, RefusedWhileAnUpdateRuns) {
    update_site s(SETUID_UPDATER);
    ASSERT_TRUE(s.start());
    // An updater process at work, as its status and the process list show it.
    tsup::TempDir fake{"upd_fake"};
    write_file(fake / "zqupdate", read_file("/bin/sleep"));
    chmod((fake / "zqupdate").c_str(), 0755);
    tsup::Child busy;
    ASSERT_TRUE(tsup::child_start(&busy, {.argv = {fake / "zqupdate", "60"}}));
    write_file(s.stack / "update.status",
               "{\"state\":\"running\",\"step\":\"заміна файлів\",\"msg\":\"\",\"version\":\"7.2\","
               "\"ts\":1}\n");
    const std::string run = release_run("7.2", "zqsup of 7.2");
    response r = upload(s, run, "full");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(member(r.body, "error"), "оновлення вже виконується — дочекайтеся завершення");
    EXPECT_EQ(member(s.srv.epost("/api/eng/update/rollback", "{\"snapshot\":\"a.tar.gz\"}").body,
                     "error"),
              "оновлення вже виконується — дочекайтеся завершення");
    EXPECT_EQ(tmp_copies_of(run), 0);
    EXPECT_EQ(s.state(), "running");
    tsup::child_stop(&busy);
    // Once it has finished, updates start again.
    write_file(s.stack / "update.status", "{\"state\":\"error\",\"ts\":1}\n");
    EXPECT_EQ(upload(s, run, "full").status, 200);
    EXPECT_EQ(member(s.finished_status("{\"state\":\"error\",\"ts\":1}\n"), "state"), "ok");
}

// The update server: a plain static web server over a folder.
struct update_server {
    tsup::TempDir root{"upd_www"};
    int port = tsup::free_port();
    tsup::Child proc;
    bool start() {
        if (!tsup::child_start(&proc,
                               {.argv = {"python3", "-m", "http.server", "--bind", "127.0.0.1",
                                         std::to_string(port), "--directory", root.path}}))
            return false;
        return wait_for([&] {
            int fd = tsup::tcp_connect(port);
            if (fd >= 0) close(fd);
            return fd >= 0;
        });
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/dist"; }
    void manifest(const std::string &products) {
        mkdir((root / "dist").c_str(), 0755);
        write_file(root / "dist/manifest.json", "{\"products\":" + products + "}");
    }
};

std::string entry(const std::string &file, const std::string &built, const std::string &sha = "") {
    return "{\"product\":\"other\",\"version\":\"0\"},{\"product\":\"zqstack\",\"version\":\"9.0\","
           "\"file\":\"" +
           file + "\",\"built\":\"" + built + "\",\"sha256\":\"" + sha + "\",\"size\":123}";
}

// The running build's revision, as `zqserver --version` prints it.
std::string running_revision(const std::string &exe) {
    auto v = tsup::run({.argv = {exe, "--version"}});
    size_t open = v.out.find(" (");
    size_t sp = v.out.rfind(' ');
    return open == std::string::npos ? "" : v.out.substr(open + 2, sp - open - 2);
}

TEST(EngUpdate, CheckComparesWithTheUpdateServer) {
    update_server us;
    ASSERT_TRUE(us.start());
    update_site s(SETUID_UPDATER, "", "update:\n  url: " + us.url() + "\n");
    ASSERT_TRUE(s.start());
    us.manifest("[" + entry("zqstack-99991231-abc.run", "99991231") + "]");
    response r = s.srv.eget("/api/eng/update/check");
    ASSERT_EQ(r.status, 200) << r.body;
    std::string built = member(r.body, "current_built");
    ASSERT_EQ(built.size(), 8u) << r.body;
    EXPECT_EQ(r.body.substr(r.body.find("\"latest_version\"")),
              "\"latest_version\":\"9.0\",\"latest_built\":\"99991231\",\"newer\":true,"
              "\"file\":\"zqstack-99991231-abc.run\",\"size\":123}");
    EXPECT_FALSE(member(r.body, "current_version").empty());

    auto newer = [&](const std::string &file, const std::string &b) {
        us.manifest("[" + entry(file, b) + "]");
        std::string body = s.srv.eget("/api/eng/update/check").body;
        if (body.find("\"newer\":true") != std::string::npos) return std::string("true");
        if (body.find("\"newer\":false") != std::string::npos) return std::string("false");
        return body;
    };
    EXPECT_EQ(newer("zqstack-00000000-x.run", "00000000"), "false");
    EXPECT_EQ(newer("zqstack-" + built + "-someoneelse.run", built), "true");
    std::string rev = running_revision(s.srv.exe);
    // A build from a tree with changes ("abc1234+") cannot be named by a
    // safe file name, so it always counts as older.
    if (rev.find('+') == std::string::npos) {
        EXPECT_EQ(newer("zqstack-" + built + "-" + rev + ".run", built), "false") << rev;
    }

    const std::string unsafe = "manifest: небезпечне ім'я файла";
    for (const char *f : {"../x.run", "a/b.run", "", "a b.run", "x..run"}) {
        us.manifest("[" + entry(f, "99991231") + "]");
        EXPECT_EQ(member(s.srv.eget("/api/eng/update/check").body, "error"), unsafe) << f;
        EXPECT_EQ(member(s.srv.epost("/api/eng/update/pull", "").body, "error"), unsafe) << f;
    }
    us.manifest("[{\"product\":\"other\"}]");
    EXPECT_EQ(member(s.srv.eget("/api/eng/update/check").body, "error"),
              "продукт 'zqstack' не знайдено в manifest");
    write_file(us.root / "dist/manifest.json", "{\"products\":{}}");
    EXPECT_EQ(member(s.srv.eget("/api/eng/update/check").body, "error"), "manifest без products[]");
    write_file(us.root / "dist/manifest.json", "{\"products\":[");
    EXPECT_EQ(member(s.srv.eget("/api/eng/update/check").body, "error"), "manifest: биті JSON");
    unlink((us.root / "dist/manifest.json").c_str());
    EXPECT_EQ(member(s.srv.eget("/api/eng/update/check").body, "error"),
              "завантаження не вдалося (curl 22)");
}

TEST(EngUpdate, UpdateUrlRules) {
    update_site none(SETUID_UPDATER);
    ASSERT_TRUE(none.start());
    EXPECT_EQ(member(none.srv.eget("/api/eng/update/check").body, "error"),
              "update.url не заданий у config.yaml");
    EXPECT_EQ(member(none.srv.epost("/api/eng/update/pull", "").body, "error"),
              "update.url не заданий");
    for (const char *url : {"file:///etc", "-o/tmp/x", "ftp://127.0.0.1/"}) {
        update_site s(SETUID_UPDATER, "", std::string("update:\n  url: \"") + url + "\"\n");
        ASSERT_TRUE(s.start());
        EXPECT_EQ(member(s.srv.eget("/api/eng/update/check").body, "error"),
                  "update.url має починатися з http:// або https://")
            << url;
    }
}

TEST(EngUpdate, PullChecksTheDigestAndInstalls) {
    update_server us;
    ASSERT_TRUE(us.start());
    update_site s(SETUID_UPDATER, "", "update:\n  url: " + us.url() + "/\n");
    ASSERT_TRUE(s.start());
    const std::string run = release_run("8.0", "zqsup of 8.0");
    const std::string file = "zqstack-20990101-r80.run";
    us.manifest("[]");
    write_file(us.root / ("dist/" + file), run);

    us.manifest("[" + entry(file, "20990101", std::string(64, 'a')) + "]");
    response r = s.srv.epost("/api/eng/update/pull", "");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(member(r.body, "error"), "sha256 не збігається — файл пошкоджено/підмінено");
    EXPECT_EQ(tmp_copies_of(run), 0) << "a refused download is removed";
    EXPECT_EQ(s.srv.eget("/api/eng/update/status").body, "{\"state\":\"none\"}");

    us.manifest("[" + entry("missing.run", "20990101") + "]");
    EXPECT_EQ(member(s.srv.epost("/api/eng/update/pull", "").body, "error"),
              "завантаження не вдалося (curl 22)");

    // The digest is compared ignoring letter case.
    std::string sha = updt::sha256_hex(run);
    for (char &ch : sha)
        ch = (char)toupper((unsigned char)ch);
    us.manifest("[" + entry(file, "20990101", sha) + "]");
    r = s.srv.epost("/api/eng/update/pull", "");
    ASSERT_EQ(r.body, "{\"ok\":true,\"msg\":\"оновлення запущено\"}");
    std::string st = s.finished_status("{\"state\":\"none\"}");
    EXPECT_EQ(member(st, "msg"), "стек оновлено до 8.0, сервіси перезапущено") << st;
    EXPECT_EQ(read_file(s.stack / "zqsup"), "zqsup of 8.0");
    EXPECT_NE(s.srv.audit().find("\"action\":\"update/pull " + file + "\""), std::string::npos);

    // Without a digest in the manifest the updater's own checks decide.
    const std::string run2 = release_run("8.1", "zqsup of 8.1");
    write_file(us.root / ("dist/" + file), run2);
    us.manifest("[" + entry(file, "20990101") + "]");
    ASSERT_EQ(s.srv.epost("/api/eng/update/pull", "").status, 200);
    EXPECT_EQ(member(s.finished_status(st), "version"), "8.1");
    EXPECT_EQ(read_file(s.stack / "zqsup"), "zqsup of 8.1");
}

}  // namespace
