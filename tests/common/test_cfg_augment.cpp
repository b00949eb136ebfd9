// Augmentation of an existing config.yaml with a release's new keys: what
// the engineer wrote stays byte for byte, what is added reads back, and a
// failure never leaves a damaged file.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/cfg_augment.h"
#include "common/cfg_skeleton.h"
#include "common/json.h"
#include "common/legacy_ini_yaml.h"
#include "common/yaml.h"
#include "tests/support/files.h"
#include "tests/support/proc.h"

namespace {

using tsup::read_file;
using tsup::write_file;

std::string augment(const std::string &cur, const std::string &tpl, int *rc = nullptr) {
    std::string out = "<untouched>";
    int r = config_augment_text(cur, tpl, &out);
    if (rc) *rc = r;
    return r == CFG_AUG_ADDED ? out : cur;
}

std::string skel() {
    return config_skeleton_str();
}

// Replaces the only occurrence of from.
std::string without(std::string text, const std::string &from, const std::string &to = "") {
    size_t p = text.find(from);
    EXPECT_NE(p, std::string::npos) << from;
    EXPECT_EQ(text.find(from, p + 1), std::string::npos) << from;
    if (p != std::string::npos) text.replace(p, from.size(), to);
    return text;
}

json_ptr parse(const std::string &text) {
    return json_ptr(yaml_parse(text.c_str()));
}

std::string section_text(const std::string &text, const char *name) {
    json_ptr root = parse(text);
    return yaml_emit_str(json_get(root.get(), name));
}

const char kPollLine[] = "  poll_ms: 200   # період опитування SHM, мс\n";

TEST(CfgAugment, TemplateItselfAndSecondPassAddNothing) {
    int rc = 9;
    std::string out;
    EXPECT_EQ(config_augment_text(skel(), skel(), &out), CFG_AUG_NOTHING);
    EXPECT_EQ(out, "");

    std::string once = augment("scada:\n  port: 8080\n", skel(), &rc);
    ASSERT_EQ(rc, CFG_AUG_ADDED);
    augment(once, skel(), &rc);
    EXPECT_EQ(rc, CFG_AUG_NOTHING);
}

TEST(CfgAugment, MissingChildKeyLandsAtTheEndOfItsSection) {
    std::string cur = without(skel(), kPollLine);
    cur = without(cur, "  ksp_projdir:\n", "  ksp_projdir: /srv/ksp   # мій коментар\n");
    int rc;
    std::string out = augment(cur, skel(), &rc);
    ASSERT_EQ(rc, CFG_AUG_ADDED);
    // After the section's last key, before the blank line and comment of the
    // next section; everything else as it was.
    EXPECT_EQ(out, without(cur, "  ksp_projdir: /srv/ksp   # мій коментар\n",
                           std::string("  ksp_projdir: /srv/ksp   # мій коментар\n") + kPollLine));
    json_ptr root = parse(out);
    EXPECT_EQ(json_getn(json_get(root.get(), "scada"), "poll_ms", 0), 200);
}

TEST(CfgAugment, CommentsAboveAKeyTravelWithIt) {
    const std::string tpl = "a:\n  x: 1\n  # about y\n  # more\n  y: 2\n  z: 3\n";
    EXPECT_EQ(augment("a:\n  x: 5\n  z: 4\n", tpl),
              "a:\n  x: 5\n  z: 4\n  # about y\n  # more\n  y: 2\n");
}

TEST(CfgAugment, KeysAndSectionsTheUserDisabledStayDisabled) {
    std::string cur =
        without(skel(), "  logcontrol: 0   # 1 = логувати дії оператора\n", "  # logcontrol: 1\n");
    cur = without(
        cur,
        "alarm:\n  dir: ./alarm   # папка даних аларму\n  takt_ms: 500   # період оцінки, мс\n",
        "# alarm:\n#   dir: ./alarm\n");
    int rc;
    augment(cur, skel(), &rc);
    EXPECT_EQ(rc, CFG_AUG_NOTHING);
}

TEST(CfgAugment, NewSectionIsAppendedUnderTheMarkerWithItsComments) {
    std::string cur = "trends:\n  mainpath_linux: ./Trends\n";
    std::string out = augment(cur, skel());
    size_t marker = out.find("\n# ── додано оновленням (нові опції релізу) ──\n");
    ASSERT_NE(marker, std::string::npos);
    size_t upd = out.find("\nupdate:\n  url: ");
    ASSERT_NE(upd, std::string::npos);
    EXPECT_GT(upd, marker);
    // The four explanatory lines in front of update travel with it, the
    // commented-out backup example in between does not.
    EXPECT_NE(out.rfind("# Порожньо = лише ручне завантаження пакета.\nupdate:"),
              std::string::npos);
    EXPECT_EQ(out.find("# backup:"), std::string::npos);
    EXPECT_EQ(out.compare(0, cur.size(), cur), 0);
    json_ptr root = parse(out);
    EXPECT_STREQ(json_gets(json_get(root.get(), "trends"), "mainpath_linux", ""), "./Trends");
    EXPECT_NE(json_get(root.get(), "alarm"), nullptr);
}

TEST(CfgAugment, NeverAddsAnEngineeringPassword) {
    std::string tpl = "scada:\n  port: 80\n  eng_password: \"abc456\"\n  poll_ms: 200\n";
    EXPECT_EQ(augment("scada:\n  port: 81\n", tpl), "scada:\n  port: 81\n  poll_ms: 200\n");
    std::string out = augment("alarm:\n  dir: x\n", tpl);
    EXPECT_EQ(out.find("eng_password"), std::string::npos);
    EXPECT_NE(out.find("scada:\n  port: 80\n  poll_ms: 200\n"), std::string::npos);
}

TEST(CfgAugment, NestedTemplateKeysAreNotAddedToAnExistingChild) {
    std::string tpl = "logix:\n  shm_name: /x\n  log:\n    logname: L\n    loginit: 1\n";
    std::string cur = "logix:\n  log:\n    logname: Mine\n  shm_name: /y\n";
    int rc;
    augment(cur, tpl, &rc);
    EXPECT_EQ(rc, CFG_AUG_NOTHING);
}

TEST(CfgAugment, LineEndingsAndLastLineKept) {
    std::string tpl = "a:\n  x: 1\n  y: 2\nb:\n  z: 3\n";
    EXPECT_EQ(augment("a:\n  x: 1", tpl),
              "a:\n  x: 1\n  y: 2\n\n# ── додано оновленням (нові опції релізу) ──\nb:\n  z: 3\n");
    std::string crlf = "a:\r\n  x: 1\r\n# note\r\n";
    std::string out = augment(crlf, tpl);
    EXPECT_EQ(out,
              "a:\r\n  x: 1\r\n  y: 2\r\n# note\r\n\r\n"
              "# ── додано оновленням (нові опції релізу) ──\r\nb:\r\n  z: 3\r\n");
}

TEST(CfgAugment, SectionShapesItCannotExtendAreLeftAlone) {
    std::string tpl = "a:\n  x: 1\n  y: 2\nb:\n  z: 3\n";
    int rc;
    augment("a: {}\nb:\n- 1\n- 2\n", tpl, &rc);
    EXPECT_EQ(rc, CFG_AUG_NOTHING);
    // Any content at indentation 0 ends a section, known key or not.
    EXPECT_EQ(augment("a:\n  x: 1\nOther: 5\nb:\n  z: 3\n", tpl),
              "a:\n  x: 1\n  y: 2\nOther: 5\nb:\n  z: 3\n");
}

TEST(CfgAugment, DuplicateSectionsGetTheKeyWhereTheReaderLooks) {
    std::string tpl = "a:\n  x: 1\n  y: 2\n";
    std::string out = augment("a:\n  x: 1\n  y: 5\nb: 1\na:\n  x: 3\n", tpl);
    EXPECT_EQ(out, "a:\n  x: 1\n  y: 5\nb: 1\na:\n  x: 3\n  y: 2\n");
    EXPECT_EQ(json_getn(json_get(parse(out).get(), "a"), "y", 0), 2);
}

TEST(CfgAugment, FourSpaceFileKeepsItsIndentationForOurReaderAndPython) {
    tsup::TempDir tmp("aug4");
    std::string cur =
        "trends:\n    mainpath_linux: ./T\n    autodelsec: 3\n"
        "scada:\n    port: 8080\n    ksp_projdir:\n"
        "logix:\n    log:\n        logname: X\n    groups:\n        - id: 0\n"
        "          ipaddr: 10.0.0.1\n          items: |\n            A1,c,T[1]\n";
    std::string out = augment(cur, skel());
    EXPECT_NE(out.find("    ksp_projdir:\n    wwwdir: ./www"), std::string::npos);
    EXPECT_NE(out.find("\n    poll_ms: 200"), std::string::npos);
    json_ptr before = parse(cur), after = parse(out);
    for (const char *sec : {"trends", "scada"}) {
        const json_node *s = json_get(after.get(), sec);
        ASSERT_NE(s, nullptr) << sec;
        for (const json_node *c = json_get(before.get(), sec)->child; c; c = c->next)
            EXPECT_EQ(yaml_emit_str(json_get(s, c->key)), yaml_emit_str(c)) << sec << "." << c->key;
    }
    EXPECT_EQ(section_text(out, "logix"), section_text(cur, "logix"));
    EXPECT_EQ(json_getn(json_get(after.get(), "trends"), "autodelmin", 0), 365);

    ASSERT_TRUE(write_file(tmp / "c.yaml", out));
    tsup::RunResult r = tsup::run(
        {.argv = {
             "python3", "-c",
             "import sys, yaml; d = yaml.safe_load(open(sys.argv[1], encoding='utf-8'));"
             "print(d['scada']['poll_ms'], d['scada']['port'], d['trends']['autodelmin'],"
             " d['logix']['groups'][0]['ipaddr'], d['alarm']['takt_ms'], d['update']['url'][:8])",
             tmp / "c.yaml"}});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "200 8080 365 10.0.0.1 500 https://\n");
}

class CfgAugmentFile : public ::testing::Test {
  protected:
    tsup::TempDir tmp{"augf"};
    std::string path = tmp / "config.yaml";
};

TEST_F(CfgAugmentFile, WritesInPlaceKeepingModeAndLeavesFullFilesAlone) {
    ASSERT_TRUE(write_file(path, "scada:\n  port: 1\n"));
    chmod(path.c_str(), 0640);
    // Only root can hand the file to another owner; others check the mode.
    bool owned_away = geteuid() == 0 && chown(path.c_str(), 4321, 4322) == 0;
    EXPECT_EQ(config_augment_file(path.c_str(), config_skeleton_str()), CFG_AUG_ADDED);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (owned_away) {
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 4322u);
    }
    std::string once = read_file(path);
    EXPECT_EQ(config_augment_file(path.c_str(), config_skeleton_str()), CFG_AUG_NOTHING);
    EXPECT_EQ(read_file(path), once);
    EXPECT_EQ(tsup::list_dir(tmp.path).size(), 1u);

    ASSERT_TRUE(write_file(tmp / "tpl.yaml", "zz:\n  k: 1\n"));
    EXPECT_EQ(config_augment_files(path.c_str(), (tmp / "tpl.yaml").c_str()), CFG_AUG_ADDED);
    EXPECT_EQ(config_augment_files(path.c_str(), (tmp / "none.yaml").c_str()), CFG_AUG_FAILED);
    EXPECT_EQ(config_augment_file((tmp / "none.yaml").c_str(), "a:\n"), CFG_AUG_FAILED);
}

TEST_F(CfgAugmentFile, OversizedFileIsRefusedUntouched) {
    std::string big = "scada:\n  port: 1\n" + std::string(CFG_AUG_MAX_BYTES, '#') + "\n";
    ASSERT_TRUE(write_file(path, big));
    EXPECT_EQ(config_augment_file(path.c_str(), config_skeleton_str()), CFG_AUG_FAILED);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(tsup::file_size(path), (long long)big.size());
}

// A full disk during the write (augmenting, or converting over an existing
// file): the old file stays whole and no temporary
// file is left behind.
TEST_F(CfgAugmentFile, FullDiskLeavesTheOldFile) {
    std::string dir = tmp / "small";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    bool mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") == 0;
    std::string file = dir + "/config.yaml";
    std::string cur = "scada:\n  port: 1\n" + std::string(20000, '#') + "\n";
    ASSERT_TRUE(write_file(file, cur));
    if (mounted) {
        // Fills what is left so that the merged copy cannot be written.
        std::string fill(4096, 'x');
        FILE *f = fopen((dir + "/fill").c_str(), "w");
        ASSERT_NE(f, nullptr);
        while (fwrite(fill.data(), 1, fill.size(), f) == fill.size() && fflush(f) == 0) {
        }
        fclose(f);
    } else {
        // Without the right to mount: a directory nobody may write to.
        ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    }
    EXPECT_EQ(config_augment_file(file.c_str(), config_skeleton_str()), CFG_AUG_FAILED);
    EXPECT_EQ(read_file(file), cur);
    ASSERT_TRUE(write_file(tmp / "zqbridge.ini", "[Logix5000_0]\nipaddr=1.2.3.4\n"));
    EXPECT_EQ(config_ini_to_yaml((tmp / "zqbridge.ini").c_str(), file.c_str()), -1);
    EXPECT_EQ(read_file(file), cur);
    for (const std::string &n : tsup::list_dir(dir))
        EXPECT_TRUE(n == "config.yaml" || n == "fill") << n;
    if (mounted)
        umount(dir.c_str());
    else
        chmod(dir.c_str(), 0755);
}

}  // namespace
