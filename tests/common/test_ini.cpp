// INI reader: the legacy files repeat keys and sections, carry comments of
// several styles and come with Windows line ends.

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "common/ini.h"
#include "tests/fuzz/corpus_files.h"

TEST(Ini, SectionsKeysCommentsAndLineEnds) {
    std::string text =
        "top = 1\r\n"
        "; comment\n"
        "# comment = not a key\n"
        "// comment = neither\n"
        "[general]\r\n"
        "  analogs =  100 \t\r\n"
        "shm_name=/logix_drv\n"
        "no equals sign here\n"
        "[Logix5000_1]\n"
        "ipaddr = 10.0.0.2\n"
        "item = A1=Tag1\n"
        "item = A2=Tag2\n"
        "[broken\n"
        "item = A3=Tag3\n"
        "[Logix5000_1]\n"
        "ipaddr = 10.0.0.9\n"
        "empty =\n"
        "last = no newline";
    ini_file f;
    ini_parse(text, &f);
    ASSERT_EQ(f.sections.size(), 4u);
    EXPECT_EQ(f.sections[0].name, "");
    ASSERT_EQ(f.sections[0].entries.size(), 1u);
    EXPECT_STREQ(ini_get(&f.sections[0], "top"), "1");

    const ini_section *g = ini_find(&f, "general");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->line, 5);
    EXPECT_STREQ(ini_get(g, "analogs"), "100");
    EXPECT_STREQ(ini_get(g, "shm_name"), "/logix_drv");
    EXPECT_EQ(ini_get(g, "no equals sign here"), nullptr);

    // Repeated keys and sections are all kept; the first "=" splits, so a
    // value may hold more of them; a cut-short header keeps its keys in the
    // section before.
    const ini_section *l1 = ini_find(&f, "Logix5000_1");
    ASSERT_EQ(l1, &f.sections[2]);
    ASSERT_EQ(l1->entries.size(), 4u);
    EXPECT_EQ(l1->entries[1].value, "A1=Tag1");
    EXPECT_EQ(l1->entries[3].value, "A3=Tag3");
    EXPECT_EQ(l1->entries[3].line, 14);
    EXPECT_STREQ(ini_get(l1, "item"), "A3=Tag3");  // the last assignment wins
    EXPECT_STREQ(ini_get(&f.sections[3], "ipaddr"), "10.0.0.9");
    EXPECT_STREQ(ini_get(&f.sections[3], "empty"), "");
    EXPECT_STREQ(ini_get(&f.sections[3], "last"), "no newline");
    EXPECT_EQ(ini_find(&f, "broken"), nullptr);
    EXPECT_EQ(ini_get(nullptr, "x"), nullptr);
}

TEST(Ini, EmptyTextHasTheHeadSectionOnly) {
    ini_file f;
    f.sections.resize(3);
    ini_parse("", &f);
    ASSERT_EQ(f.sections.size(), 1u);
    EXPECT_TRUE(f.sections[0].entries.empty());
}

TEST(Ini, LoadRefusesWhatIsNotAReadableFile) {
    char dir[] = "/tmp/zqtest_ini_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string path = std::string(dir) + "/zqbridge.ini";
    ini_file f;
    errno = 0;
    EXPECT_EQ(ini_load(path.c_str(), &f), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(ini_load(dir, &f), -1);  // a directory
    {
        std::ofstream o(path);
        o << "[scada]\nport=8081\n";
    }
    ASSERT_EQ(ini_load(path.c_str(), &f), 0);
    EXPECT_STREQ(ini_get(ini_find(&f, "scada"), "port"), "8081");
    // A file far larger than any configuration is refused, not read whole.
    ASSERT_EQ(truncate(path.c_str(), (off_t)INI_MAX_BYTES + 1), 0);
    EXPECT_EQ(ini_load(path.c_str(), &f), -1);
    unlink(path.c_str());
    rmdir(dir);
}

TEST(Ini, FuzzCorpusReadsWhole) {
    auto files = fuzz_corpus_files("ini");
    ASSERT_FALSE(files.empty());
    for (const auto &path : files) {
        ini_file f;
        ini_parse(fuzz_read_file(path), &f);
        ASSERT_FALSE(f.sections.empty()) << path;
        EXPECT_EQ(f.sections[0].name, "") << path;
    }
}
