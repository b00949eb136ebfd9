// Replays the fuzz corpora (seeds and anything the fuzzers found) through the
// readers, so a fixed crash stays fixed in the normal test run.
#include <dirent.h>
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include "tests/fuzz/corpus_files.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/log.h"
#include "common/yaml.h"
#include "tests/fuzz/cp1251_fuzz_driver.h"
#include "tests/fuzz/shm_fuzz_driver.h"

namespace {

void check_strings(const json_node *n, const std::string &file) {
    for (; n; n = n->next) {
        if (n->type == JSON_STRING) {
            std::string doc = "[\"" + json_escape_str(n->string) + "\"]";
            json_ptr back(json_parse(doc.c_str()));
            ASSERT_TRUE(back) << file;
            EXPECT_STREQ(back->child->string, n->string) << file;
        }
        (void)json_int_of(n, 0);
        check_strings(n->child, file);
    }
}

TEST(FuzzRegressions, YamlCorpus) {
    auto files = fuzz_corpus_files("yaml");
    ASSERT_FALSE(files.empty());
    for (const auto &f : files) {
        std::string text = tsup::read_file(f);
        yaml_dup dups[4];
        size_t n = 0;
        json_ptr root(yaml_parse_dups(text.c_str(), dups, 4, &n));
        ASSERT_TRUE(root) << f;
        EXPECT_TRUE(root->type == JSON_OBJECT || root->type == JSON_ARRAY) << f;
        for (const json_node *c = root->child; c; c = c->next)
            (void)yaml_items_vec(c);
        std::string out = yaml_emit_str(root.get());
        EXPECT_TRUE(json_ptr(yaml_parse(out.c_str()))) << f;
    }
}

TEST(FuzzRegressions, JsonCorpus) {
    auto files = fuzz_corpus_files("json");
    ASSERT_FALSE(files.empty());
    for (const auto &f : files) {
        std::string text = tsup::read_file(f);
        json_ptr root(json_parse_len(text.data(), text.size()));
        if (!root) continue;
        check_strings(root.get(), f);
        std::string out = yaml_emit_str(root.get());
        EXPECT_TRUE(json_ptr(yaml_parse(out.c_str()))) << f;
    }
}

TEST(FuzzRegressions, HostileSeedsAreRefused) {
    const std::string dir = std::string(ZQ_SOURCE_DIR) + "/tests/fuzz/corpus/json/";
    for (const char *name :
         {"deep_array.json", "deep_object.json", "nul_escape.json", "truncated_escape.json"}) {
        std::string text = tsup::read_file(dir + name);
        ASSERT_FALSE(text.empty()) << name;
        EXPECT_EQ(json_parse(text.c_str()), nullptr) << name;
    }
    std::string deep =
        tsup::read_file(std::string(ZQ_SOURCE_DIR) + "/tests/fuzz/corpus/yaml/deep_map.yaml");
    json_ptr r(yaml_parse(deep.c_str()));
    EXPECT_EQ(json_getn(r.get(), "after", 0), 1.0);
}

TEST(FuzzRegressions, ShmCorpusAttachesAsRecorded) {
    log_set_flags(0, 0, 0);
    tsup::ShmName name{"zqfuzz_replay"};
    // File name -> counts a reader sees (analogs, discretes, controllers).
    const std::map<std::string, std::string> recorded = {
        {"valid_10_5_2", "10A/5D/2P"}, {"version5", "refused"},  // an older layout
    };
    fuzz_corpus_expect("shm", recorded, [&](const std::string &data) -> std::string {
        shm_fuzz::result r = shm_fuzz::run_one(
            name.name.c_str(), reinterpret_cast<const uint8_t *>(data.data()), data.size());
        EXPECT_TRUE(r.rewritten);
        if (!r.attached) return "refused";
        return std::to_string(r.an) + "A/" + std::to_string(r.di) + "D/" + std::to_string(r.plc) +
               "P";
    });
    log_set_flags(1, 1, 1);
}

TEST(FuzzRegressions, Cp1251CorpusConvertsAsRecorded) {
    const std::map<std::string, std::string> recorded = {
        {"cp1251_text", "Помилка ? €"},  // 0x98 has no character
        // UTF-8 read as CP1251: each byte becomes a character.
        {"utf8_text", "РџРѕРјРёР»РєР°"},
    };
    fuzz_corpus_expect("cp1251", recorded, [](const std::string &data) {
        return cp1251_fuzz::run_one(reinterpret_cast<const uint8_t *>(data.data()), data.size());
    });
}

}  // namespace
