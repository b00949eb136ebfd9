// Network mounts from the editor against a recording zqnet: what reaches
// the tool, what lands in config.yaml, and the alternate trend paths.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "common/yaml.h"
#include "eng_net_util.h"
#include "tests/support/proc.h"

using namespace engtest;

namespace {

json_ptr config_of(const net_server &s) {
    return json_ptr(yaml_parse_file((s.dir + "/config.yaml").c_str()));
}

const json_node *mounts_of(const json_node *root) {
    return json_get(json_get(root, "network"), "mounts");
}

std::string project_of(const std::string &dir) {
    return dir.substr(dir.rfind('/') + 1);
}

}  // namespace

TEST(EngNet, MountIsRecordedListedAndRemoved) {
    net_server s("",
                 "network:\n  shares:\n    - proto: nfs\n      name: pub\n      path: /srv/pub\n");
    ASSERT_TRUE(s.start_net());
    response r = s.epost("/api/eng/net/mount",
                         R"({"type":"nfs","remote":"nas1:/export/a#b","name":"arch","mode":"ro"})");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(member(r.body, "mountpoint"), s.mnt + "/arch");
    EXPECT_NE(r.body.find("\"altApplied\":false"), std::string::npos) << r.body;
    EXPECT_NE(s.calls().find("mount-nfs|nas1|/export/a#b|arch|ro"), std::string::npos) << s.calls();

    json_ptr cfg = config_of(s);
    const json_node *m = json_at(mounts_of(cfg.get()), 0);
    ASSERT_TRUE(m) << read_file(s.dir + "/config.yaml");
    // Quoted on the way in, so a "#" stays part of the value.
    EXPECT_STREQ(json_gets(m, "remote", ""), "nas1:/export/a#b");
    EXPECT_STREQ(json_gets(m, "mode", ""), "ro");
    // The shares of the same section are left alone.
    EXPECT_STREQ(
        json_gets(json_at(json_get(json_get(cfg.get(), "network"), "shares"), 0), "path", ""),
        "/srv/pub");

    response st = s.eget("/api/eng/net/status");
    ASSERT_EQ(st.status, 200);
    json_ptr sj(json_parse(st.body.c_str()));
    ASSERT_TRUE(sj) << st.body;
    const json_node *cm = json_at(json_get(sj.get(), "cfg_mounts"), 0);
    EXPECT_STREQ(json_gets(cm, "status", ""), "mounted") << st.body;
    EXPECT_TRUE(json_getb(sj.get(), "zqnet", 0));

    r = s.epost("/api/eng/net/umount", R"({"name":"arch"})");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(member(r.body, "msg"), "відмонтовано");
    EXPECT_NE(s.calls().find("umount|arch"), std::string::npos);
    cfg = config_of(s);
    EXPECT_EQ(json_count(mounts_of(cfg.get())), 0u) << read_file(s.dir + "/config.yaml");
    std::string audit = s.audit();
    EXPECT_NE(audit.find("net/mount arch"), std::string::npos) << audit;
    EXPECT_NE(audit.find("net/umount arch"), std::string::npos) << audit;

    // Not in the list and the tool failed: its message.
    s.tool_fails("umount: not mounted\n");
    r = s.epost("/api/eng/net/umount", R"({"name":"ghost"})");
    EXPECT_EQ(member(r.body, "error"), "umount: umount: not mounted") << r.body;
}

TEST(EngNet, BadEntriesAreRefusedBeforeTheToolRuns) {
    net_server s;
    ASSERT_TRUE(s.start_net());
    struct bad {
        const char *body, *error;
    } cases[] = {
        {R"({"type":"ftp","remote":"a:/b","name":"x"})", "невірний тип"},
        {R"({"type":"nfs","remote":"a:/b","name":"../x"})", "невірна назва (лише A-Z a-z 0-9 _ -)"},
        {R"({"type":"nfs","remote":"a:/b","name":"x","mode":"rx"})", "невірний режим"},
        {R"({"type":"nfs","remote":"","name":"x"})", "порожній ресурс"},
        {R"({"type":"nfs","remote":"nascolonless","name":"x"})", "NFS ресурс має бути host:/шлях"},
        {R"({"type":"nfs","remote":"-oexec:/b","name":"x"})", nullptr},
        {R"({"type":"nfs","remote":"a:/b\n  evil: 1","name":"x"})", nullptr},
        {R"({"type":"nfs","remote":"a:/b c","name":"x"})", nullptr},
        {R"({"type":"smb","remote":"srv/share","name":"x"})", "SMB ресурс має бути //сервер/шара"},
        {R"({"type":"smb","remote":"//srv/s","name":"x","servern":"-x"})", nullptr},
        {R"({"type":"smb","remote":"//srv/s","name":"x","pass":"a\r\nb"})", "невірний пароль"},
        {R"({"type":"smb","remote":"//srv/s","name":"x","user":"u\nv"})", "невірний логін"},
    };
    for (const bad &b : cases) {
        response r = s.epost("/api/eng/net/mount", b.body);
        EXPECT_EQ(r.status, 400) << b.body << " → " << r.body;
        if (b.error) {
            EXPECT_EQ(member(r.body, "error"), b.error) << b.body;
        }
    }
    EXPECT_EQ(s.calls(), "");
    EXPECT_EQ(s.epost("/api/eng/net/umount", R"({"name":"a b"})").status, 400);
    EXPECT_EQ(s.calls(), "");
    EXPECT_EQ(read_file(s.dir + "/config.yaml"), s.config);
}

TEST(EngNet, SmbCredentialsTravelOnInputAndFailuresKeepTheList) {
    net_server s;
    ASSERT_TRUE(s.start_net());
    response r = s.epost("/api/eng/net/mount",
                         R"J({"type":"smb","remote":"//srv/share","name":"win","user":"DOM\\eng",)J"
                         R"J("pass":"p w;$(x)","servern":"SRV"})J");
    ASSERT_EQ(r.status, 200) << r.body;
    std::string c = s.calls();
    EXPECT_NE(c.find("cred-write|win\n"), std::string::npos) << c;
    EXPECT_EQ(read_file(s.fake + "/stdin.log"), "DOM\\eng\np w;$(x)\n");
    EXPECT_NE(c.find("mount-smb|//srv/share|win|rw|win|SRV"), std::string::npos) << c;
    // The password is never written into the configuration.
    EXPECT_EQ(read_file(s.dir + "/config.yaml").find("p w;"), std::string::npos);

    s.tool_fails("mount error(13): Permission denied\nmore\n");
    r = s.epost("/api/eng/net/mount", R"({"type":"nfs","remote":"nas:/e","name":"other"})");
    EXPECT_EQ(member(r.body, "error"), "mount: mount error(13): Permission denied") << r.body;
    json_ptr cfg = config_of(s);
    EXPECT_EQ(json_count(mounts_of(cfg.get())), 1u);
}

TEST(EngNet, ReplacingByNameAndTheSixteenLimit) {
    net_server s;
    ASSERT_TRUE(s.start_net());
    for (int i = 0; i < 16; i++) {
        std::string body = R"({"type":"nfs","remote":"nas:/e)" + std::to_string(i) +
                           R"(","name":"n)" + std::to_string(i) + R"("})";
        ASSERT_EQ(s.epost("/api/eng/net/mount", body).status, 200) << i;
    }
    // Same name: replaced in place, not a seventeenth.
    response r = s.epost("/api/eng/net/mount", R"({"type":"nfs","remote":"nas:/new","name":"n3"})");
    EXPECT_EQ(r.status, 200) << r.body;
    json_ptr cfg = config_of(s);
    EXPECT_EQ(json_count(mounts_of(cfg.get())), 16u);
    EXPECT_STREQ(json_gets(json_at(mounts_of(cfg.get()), 3), "remote", ""), "nas:/new");

    size_t before = s.calls().size();
    r = s.epost("/api/eng/net/mount", R"({"type":"nfs","remote":"nas:/x","name":"n16"})");
    EXPECT_EQ(member(r.body, "error"), "забагато монтувань (max 16)") << r.body;
    EXPECT_EQ(s.calls().size(), before) << "nothing mounted beyond the limit";
}

TEST(EngNet, AlternateTrendPathsFollowTheirMount) {
    net_server s("", "trends:\n  mainpath_linux: ./Trends\n  format: 2\n");
    ASSERT_TRUE(s.start_net());
    // A stand-in recorder of this project: it must be restarted (SIGTERM).
    std::string rec = s.side.path + "/zqtrend";
    write_file(rec, read_file("/bin/sleep"));
    chmod(rec.c_str(), 0755);
    tsup::Child recorder;
    ASSERT_TRUE(tsup::child_start(&recorder, {.argv = {rec, "300"}, .dir = s.dir}));
    ASSERT_TRUE(wait_for(
        [&] { return read_file("/proc/" + std::to_string(recorder.pid) + "/comm") == "zqtrend\n"; },
        5000));

    response r =
        s.epost("/api/eng/net/mount",
                R"({"type":"nfs","remote":"nas:/t","name":"A","use_as_alt":true,"alt_format":2})");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_NE(r.body.find("\"altApplied\":true"), std::string::npos) << r.body;
    std::string alt = s.mnt + "/A/" + project_of(s.dir);
    json_ptr cfg = config_of(s);
    const json_node *tr = json_get(cfg.get(), "trends");
    EXPECT_STREQ(json_gets(tr, "altpath_linux", ""), alt.c_str())
        << read_file(s.dir + "/config.yaml");
    EXPECT_EQ(json_geti(tr, "altpath_format", -1), 2);
    EXPECT_STREQ(json_gets(tr, "mainpath_linux", ""), "./Trends");
    EXPECT_EQ(tsup::child_wait(&recorder, 5000), 128 + SIGTERM);

    // The first alternate is taken: the second mount gets a warning naming A.
    r = s.epost(
        "/api/eng/net/mount",
        R"({"type":"nfs","remote":"nas:/u","name":"B","use_as_alt":true,"use_as_alt2":true})");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_NE(member(r.body, "warn").find("Основний альт-шлях вже зайнятий «A»"), std::string::npos)
        << r.body;
    cfg = config_of(s);
    tr = json_get(cfg.get(), "trends");
    EXPECT_STREQ(json_gets(tr, "altpath_linux", ""), alt.c_str());
    EXPECT_STREQ(json_gets(tr, "altpath2_linux", ""), (s.mnt + "/B/" + project_of(s.dir)).c_str());
    EXPECT_EQ(json_geti(tr, "altpath2_format", -1), 1);

    // Removing the mount that carries the second alternate empties it.
    ASSERT_EQ(s.epost("/api/eng/net/umount", R"({"name":"B"})").status, 200);
    cfg = config_of(s);
    tr = json_get(cfg.get(), "trends");
    EXPECT_STREQ(json_gets(tr, "altpath2_linux", "x"), "");
    EXPECT_EQ(json_geti(tr, "altpath2_format", -1), 0);
    EXPECT_STREQ(json_gets(tr, "altpath_linux", ""), alt.c_str());
}
