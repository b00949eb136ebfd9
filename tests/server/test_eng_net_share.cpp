// Exports and NFS/SMB packages from the editor against a recording zqnet:
// what reaches the tool, what lands in config.yaml, and what is refused.
#include <gtest/gtest.h>

#include "common/yaml.h"
#include "eng_net_util.h"

using namespace engtest;

namespace {

const json_node *shares_of(const json_node *root) {
    return json_get(json_get(root, "network"), "shares");
}

json_ptr config_of(const net_server &s) {
    return json_ptr(yaml_parse_file((s.dir + "/config.yaml").c_str()));
}

}  // namespace

TEST(EngNetShare, ShareIsRecordedAndRemoved) {
    net_server s("", "network:\n  mounts: []\n");
    ASSERT_TRUE(s.start_net());
    response r =
        s.epost("/api/eng/net/share",
                R"({"proto":"nfs","name":"pub","path":"/srv/pub_1","access":"10.0.0.0/8"})");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(member(r.body, "msg"), "NFS експорт створено");
    EXPECT_NE(s.calls().find("share-nfs|pub|/srv/pub_1|ro|10.0.0.0/8"), std::string::npos)
        << s.calls();

    r = s.epost("/api/eng/net/share",
                R"J({"proto":"smb","name":"win","path":"/srv/w","mode":"rw",)J"
                R"J("smbuser":"eng","pass":"p w;$(x)"})J");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(member(r.body, "msg"), "SMB шара створена");
    std::string c = s.calls();
    EXPECT_NE(c.find("smb-user|eng\n"), std::string::npos) << c;
    EXPECT_NE(c.find("share-smb|win|/srv/w|rw|*|eng"), std::string::npos) << c;
    // The password goes on input only, never into arguments or the file.
    EXPECT_EQ(read_file(s.fake + "/stdin.log"), "p w;$(x)\n");
    EXPECT_EQ(c.find("p w;"), std::string::npos);
    std::string text = read_file(s.dir + "/config.yaml");
    EXPECT_EQ(text.find("p w;"), std::string::npos);

    json_ptr cfg = config_of(s);
    ASSERT_EQ(json_count(shares_of(cfg.get())), 2u) << text;
    const json_node *a = json_at(shares_of(cfg.get()), 0);
    EXPECT_STREQ(json_gets(a, "path", ""), "/srv/pub_1") << text;
    EXPECT_STREQ(json_gets(a, "mode", ""), "ro");
    EXPECT_STREQ(json_gets(json_at(shares_of(cfg.get()), 1), "smbuser", ""), "eng");
    EXPECT_NE(text.find("  mounts:"), std::string::npos) << text;

    response st = s.eget("/api/eng/net/status");
    json_ptr sj(json_parse(st.body.c_str()));
    ASSERT_TRUE(sj) << st.body;
    EXPECT_STREQ(json_gets(json_at(json_get(sj.get(), "shares"), 1), "name", ""), "win");

    r = s.epost("/api/eng/net/unshare", R"({"name":"pub"})");
    EXPECT_EQ(member(r.body, "msg"), "видалено") << r.body;
    EXPECT_NE(s.calls().find("unshare-nfs|pub"), std::string::npos);
    cfg = config_of(s);
    ASSERT_EQ(json_count(shares_of(cfg.get())), 1u);
    EXPECT_STREQ(json_gets(json_at(shares_of(cfg.get()), 0), "name", ""), "win");

    r = s.epost("/api/eng/net/unshare", R"({"name":"pub"})");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(member(r.body, "error"), "не знайдено");

    // A tool failure leaves the list as it was.
    s.tool_fails("exportfs: bad\n");
    r = s.epost("/api/eng/net/share", R"({"proto":"nfs","name":"x","path":"/srv/x"})");
    EXPECT_EQ(member(r.body, "error"), "share: exportfs: bad") << r.body;
    r = s.epost("/api/eng/net/share",
                R"({"proto":"smb","name":"y","path":"/srv/y","smbuser":"u","pass":"p"})");
    EXPECT_EQ(member(r.body, "error"), "smbuser: exportfs: bad") << r.body;
    cfg = config_of(s);
    EXPECT_EQ(json_count(shares_of(cfg.get())), 1u);

    std::string audit = s.audit();
    EXPECT_NE(audit.find("net/share nfs pub"), std::string::npos) << audit;
    EXPECT_NE(audit.find("net/unshare pub"), std::string::npos) << audit;
}

TEST(EngNetShare, BadExportsAreRefusedBeforeTheToolRuns) {
    net_server s;
    ASSERT_TRUE(s.start_net());
    struct bad {
        const char *body, *error;
    } cases[] = {
        {R"({"proto":"ftp","name":"x","path":"/a"})", "невірний протокол"},
        {R"({"proto":"nfs","name":"../x","path":"/a"})", "невірна назва"},
        {R"({"proto":"nfs","name":"","path":"/a"})", "невірна назва"},
        {R"({"proto":"nfs","name":"x","path":"/a","mode":"rx"})", "невірний режим"},
        {R"({"proto":"nfs","name":"x","path":"srv/a"})", "шлях має бути абсолютним"},
        {R"({"proto":"nfs","name":"x","path":"-o/a"})", "шлях має бути абсолютним"},
        {R"({"proto":"nfs","name":"x","path":"/srv/../etc"})", nullptr},
        {R"({"proto":"nfs","name":"x","path":"/srv/a b"})", nullptr},
        {R"J({"proto":"nfs","name":"x","path":"/srv/a\n/etc *(rw)"})J", nullptr},
        {R"({"proto":"smb","name":"x","path":"/srv/a]"})", nullptr},
        {R"J({"proto":"nfs","name":"x","path":"/a","access":"*(rw,no_root_squash)"})J", nullptr},
        {R"({"proto":"smb","name":"x","path":"/a","smbuser":"eng"})", "вкажіть пароль для логіна"},
        {R"({"proto":"smb","name":"x","path":"/a","smbuser":"-x","pass":"p"})", nullptr},
        {R"({"proto":"smb","name":"x","path":"/a","smbuser":"u","pass":"a\nb"})", nullptr},
    };
    for (const bad &b : cases) {
        response r = s.epost("/api/eng/net/share", b.body);
        EXPECT_EQ(r.status, 400) << b.body << " → " << r.body;
        if (b.error) {
            EXPECT_EQ(member(r.body, "error"), b.error) << b.body;
        }
    }
    EXPECT_EQ(member(s.epost("/api/eng/net/unshare", R"({"name":"a b"})").body, "error"),
              "невірна назва");
    EXPECT_EQ(member(s.epost("/api/eng/net/install", R"({})").body, "error"), "порожній компонент");
    EXPECT_EQ(s.epost("/api/eng/net/install", R"({"component":"; rm"})").status, 400);
    EXPECT_EQ(s.calls(), "");
    EXPECT_EQ(read_file(s.dir + "/config.yaml"), s.config);
}

TEST(EngNetShare, SixteenSharesAtMost) {
    net_server s;
    ASSERT_TRUE(s.start_net());
    for (int i = 0; i < 16; i++) {
        std::string body =
            R"({"proto":"nfs","name":"s)" + std::to_string(i) + R"(","path":"/srv/x"})";
        ASSERT_EQ(s.epost("/api/eng/net/share", body).status, 200) << i;
    }
    response r = s.epost("/api/eng/net/share", R"({"proto":"nfs","name":"s3","path":"/srv/n"})");
    EXPECT_EQ(r.status, 200) << "same name replaces";
    size_t before = s.calls().size();
    r = s.epost("/api/eng/net/share", R"({"proto":"nfs","name":"s16","path":"/srv/x"})");
    EXPECT_EQ(member(r.body, "error"), "забагато шар (max 16)") << r.body;
    EXPECT_EQ(s.calls().size(), before);
    json_ptr cfg = config_of(s);
    EXPECT_EQ(json_count(shares_of(cfg.get())), 16u);
    EXPECT_STREQ(json_gets(json_at(shares_of(cfg.get()), 3), "path", ""), "/srv/n");
}

TEST(EngNetShare, PackagesAndTheirUsers) {
    net_server s("",
                 "network:\n  mounts:\n    - type: smb\n      remote: //srv/s\n"
                 "      name: winmnt\n  shares:\n    - proto: nfs\n      name: pub\n"
                 "      path: /srv/pub\n");
    ASSERT_TRUE(s.start_net());
    response r = s.epost("/api/eng/net/uninstall", R"({"component":"smb-client"})");
    EXPECT_EQ(r.status, 409);
    EXPECT_EQ(member(r.body, "error"), "не можна видалити: winmnt — спершу приберіть їх");
    r = s.epost("/api/eng/net/uninstall", R"({"component":"nfs-server"})");
    EXPECT_EQ(member(r.body, "error"), "не можна видалити: pub — спершу приберіть їх");
    EXPECT_EQ(s.calls(), "");

    r = s.epost("/api/eng/net/uninstall", R"({"component":"smb-server"})");
    EXPECT_EQ(member(r.body, "msg"), "видалено") << r.body;
    r = s.epost("/api/eng/net/install", R"({"component":"nfs-client"})");
    EXPECT_EQ(member(r.body, "msg"), "встановлено") << r.body;
    std::string c = s.calls();
    EXPECT_NE(c.find("pkg-remove|smb-server"), std::string::npos) << c;
    EXPECT_NE(c.find("pkg-install|nfs-client"), std::string::npos) << c;

    s.tool_fails("E: Unable to locate package samba\n");
    r = s.epost("/api/eng/net/install", R"({"component":"smb-server"})");
    EXPECT_EQ(member(r.body, "error"), "apt-get помилка: E: Unable to locate package samba");
    std::string audit = s.audit();
    EXPECT_NE(audit.find("net/install nfs-client"), std::string::npos) << audit;
    EXPECT_EQ(audit.find("net/install smb-server"), std::string::npos) << audit;
}
