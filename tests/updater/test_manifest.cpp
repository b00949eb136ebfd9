// Manifest, signature-file and version parsing: the checks that decide
// whether bytes from an archive are trusted.
#include <gtest/gtest.h>

#include "updater/upd_manifest.h"

namespace {

const std::string H(64, 'a');

bool parse(const std::string &text, std::string *err, upd_manifest *m = nullptr) {
    upd_manifest local;
    return upd_parse_manifest(text.data(), text.size(), "zqstack", m ? m : &local, err);
}

TEST(UpdManifest, AcceptsWellFormedAndRefusesEachBrokenField) {
    std::string err;
    upd_manifest m;
    ASSERT_TRUE(
        parse(R"({"product":"zqstack","version":"1.2","files":[{"p":"www-sys/a.html","h":")" + H +
                  R"("}]})",
              &err, &m));
    EXPECT_EQ(m.version, "1.2");
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].hash[0], 0xaa);

    EXPECT_FALSE(parse("{", &err));
    EXPECT_EQ(err, "dist_manifest.json не парситься");
    EXPECT_FALSE(parse(R"({"product":"other","version":"1","files":[]})", &err));
    EXPECT_EQ(err, "архів продукту «other», а очікується «zqstack» — не той файл");
    EXPECT_FALSE(parse(R"({"product":"zqstack","version":"1"})", &err));
    EXPECT_EQ(err, "manifest без files[]");
    EXPECT_FALSE(parse(R"({"product":"zqstack","version":"1","files":[{"p":"a"}]})", &err));
    EXPECT_EQ(err, "manifest: биті поля файла");
    // Upper-case digits are not the canonical form the signer hashes to.
    std::string upper(64, 'A');
    EXPECT_FALSE(parse(
        R"({"product":"zqstack","version":"1","files":[{"p":"a","h":")" + upper + R"("}]})", &err));
    EXPECT_EQ(err, "manifest: биті поля файла");
    for (const char *bad : {"/etc/passwd", "../x", "a/../b", "a//b", "./a", "-rf", "a\\b", "a/",
                            "a..b", "dist_manifest.sig", "a\x01"}) {
        EXPECT_FALSE(parse(std::string(R"({"product":"zqstack","version":"1","files":[{"p":")") +
                               bad + R"(","h":")" + H + R"("}]})",
                           &err))
            << bad;
        EXPECT_EQ(err, "manifest: підозрілий шлях файла") << bad;
    }
    EXPECT_FALSE(parse(R"({"product":"zqstack","version":"1","files":[{"p":"a","h":")" + H +
                           R"("},{"p":"a","h":")" + H + R"("}]})",
                       &err));
    EXPECT_EQ(err, "manifest: підозрілий шлях файла");
}

TEST(UpdManifest, PathDepthAndLengthLimits) {
    std::string deep;
    for (int i = 0; i < UPD_PATH_DEPTH; i++)
        deep += (i ? "/d" : "d");
    EXPECT_TRUE(upd_path_ok(deep));
    EXPECT_FALSE(upd_path_ok(deep + "/d"));
    EXPECT_TRUE(upd_path_ok(std::string(UPD_PATH_MAX, 'x')));
    EXPECT_FALSE(upd_path_ok(std::string(UPD_PATH_MAX + 1, 'x')));
}

TEST(UpdManifest, SignatureFileNeedsBothLines) {
    upd_sig s;
    std::string hex(128, '0');
    EXPECT_TRUE(upd_parse_sig(("key_id=7e57c0de\r\nsig=" + hex + " trailing\n").c_str(),
                              20 + 128 + 11, &s));
    EXPECT_EQ(s.key_id, "7e57c0de");
    std::string only = "sig=" + hex + "\n";
    EXPECT_FALSE(upd_parse_sig(only.data(), only.size(), &s));
    std::string shortsig = "key_id=1\nsig=" + hex.substr(2) + "\n";
    EXPECT_FALSE(upd_parse_sig(shortsig.data(), shortsig.size(), &s));
    std::string longid = "key_id=0123456789abcdef\nsig=" + hex + "\n";
    EXPECT_FALSE(upd_parse_sig(longid.data(), longid.size(), &s));
}

TEST(UpdManifest, VersionsCompareNumerically) {
    EXPECT_LT(upd_version_cmp("1.9", "1.10"), 0);
    EXPECT_GT(upd_version_cmp("2.0", "1.99.99"), 0);
    EXPECT_EQ(upd_version_cmp("1.02", "1.2"), 0);
    EXPECT_LT(upd_version_cmp("1.2", "1.2.1"), 0);
    EXPECT_GT(upd_version_cmp("1.2-rc2", "1.2-rc1"), 0);
}

}  // namespace
