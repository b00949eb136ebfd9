// The Network tab in headless Chromium: an engineer mounts a share, sees it
// listed as mounted, and removes it again.
#include <gtest/gtest.h>

#include "eng_net_util.h"

using namespace engtest;

TEST(EngNetBrowser, AddListAndRemoveAMount) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    net_server s(sys_www());
    ASSERT_TRUE(s.start_net());
    net_page p;
    ASSERT_EQ(p.open(s.port), "");
    p.click("#tabbtn-net");
    ASSERT_TRUE(p.shows("#net-mounts", "Монтувань немає"));
    // SMB-only fields stay hidden for NFS.
    EXPECT_EQ(p.js("return $('net-user').closest('label').hidden+'';"), "true");

    p.fill("#net-remote", "nascolonless");
    p.fill("#net-name", "arch");
    p.click("#net-add");
    EXPECT_TRUE(p.shows("#net-msg", "NFS ресурс має бути host:/шлях")) << p.get("#net-msg");

    p.fill("#net-remote", "nas1:/export/trends");
    p.fill("#net-mode", "ro");
    p.click("#net-add");
    ASSERT_TRUE(p.shows("#net-msg", "Змонтовано: " + s.mnt + "/arch")) << p.get("#net-msg");
    ASSERT_TRUE(p.shows("#net-mounts", "nas1:/export/trends")) << p.get("#net-mounts");
    EXPECT_TRUE(p.shows("#net-mounts", "змонтовано"));
    EXPECT_NE(s.calls().find("mount-nfs|nas1|/export/trends|arch|ro"), std::string::npos);

    p.click("#net-mounts button[data-name=arch]");
    ASSERT_TRUE(p.shows("#net-msg", "відмонтовано")) << p.get("#net-msg");
    EXPECT_TRUE(p.shows("#net-mounts", "Монтувань немає"));
    EXPECT_NE(s.calls().find("umount|arch"), std::string::npos);
}

TEST(EngNetBrowser, ExportAndCloseAFolder) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    net_server s(sys_www());
    ASSERT_TRUE(s.start_net());
    net_page p;
    ASSERT_EQ(p.open(s.port), "");
    p.click("#tabbtn-net");
    ASSERT_TRUE(p.shows("#net-shares", "Спільних папок немає"));

    p.fill("#share-name", "pub");
    p.fill("#share-path", "srv/pub");
    p.click("#share-add");
    EXPECT_TRUE(p.shows("#share-msg", "шлях має бути абсолютним")) << p.get("#share-msg");

    p.fill("#share-path", "/srv/pub");
    p.click("#share-add");
    ASSERT_TRUE(p.shows("#share-msg", "NFS експорт створено")) << p.get("#share-msg");
    ASSERT_TRUE(p.shows("#net-shares", "/srv/pub")) << p.get("#net-shares");
    EXPECT_NE(s.calls().find("share-nfs|pub|/srv/pub|ro|*"), std::string::npos) << s.calls();

    p.click("#net-shares button[data-name=pub]");
    ASSERT_TRUE(p.shows("#share-msg", "видалено")) << p.get("#share-msg");
    EXPECT_TRUE(p.shows("#net-shares", "Спільних папок немає"));
}
