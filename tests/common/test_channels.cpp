#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/channels.h"
#include "common/json.h"
#include "tests/support/files.h"

namespace {

class Channels : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }
    void write(const std::string &text) { tsup::write_file(path_, text); }
    std::string read() { return tsup::read_file(path_); }
    tsup::TempDir tmp_{"channels"};
    std::string dir_ = tmp_.path, path_ = dir_ + "/channels.json";
};

TEST_F(Channels, LoadsFieldsIdsAndCapacity) {
    write(R"({"version":1,"analogs":[
      {"id":"A1","name":"TT101","desc":"Температура води","unit":"°C",
       "scale":{"code_min":0,"code_max":27648,"el_min":4,"el_max":20,"el_unit":"mA",
                "phys_min":0,"phys_max":150},
       "equipment":"Котел 1","loop":"L1","device_type":"TT","area":"K","plc_tag":"HMI_A[1]",
       "group":"Logix5000_0"},
      {"id":"A100"},{"id":"A5","name":"first"},{"id":"a5","name":"second"},
      {"id":"A0"},{"id":"A-3"},{"id":"X7"},{"id":"A40000"},{"id":"D9"},{"id":"A"},{"id":7},
      {"id":"A32767x","name":"max"},"junk",{"name":"no id"}],
     "discretes":[{"id":"d3","name":"V3","unit":"ignored",
                   "scale":{"code_min":1,"code_max":2,"phys_min":0,"phys_max":1}},{"id":"A4"}]})");
    channels_registry reg;
    ASSERT_EQ(channels_load(&reg, path_.c_str()), 0);
    const channel_rec *a1 = channels_an(&reg, 1);
    ASSERT_TRUE(a1);
    EXPECT_STREQ(a1->name, "TT101");
    EXPECT_STREQ(a1->desc, "Температура води");
    EXPECT_STREQ(a1->unit, "°C");
    EXPECT_EQ(a1->code_max, 27648);
    EXPECT_EQ(a1->el_min, 4);
    EXPECT_STREQ(a1->el_unit, "mA");
    EXPECT_EQ(a1->phys_max, 150);
    EXPECT_EQ(a1->has_scale, 1);
    EXPECT_STREQ(a1->equipment, "Котел 1");
    EXPECT_STREQ(a1->plc_tag, "HMI_A[1]");
    EXPECT_STREQ(a1->group, "Logix5000_0");
    EXPECT_STREQ(channels_an(&reg, 5)->name, "second");
    EXPECT_EQ(channels_has_an(&reg, 100), 1);
    EXPECT_EQ(channels_has_an(&reg, 50), 0);
    EXPECT_EQ(channels_has_an(&reg, 0), 0);
    EXPECT_EQ(channels_has_an(&reg, 9), 0);
    EXPECT_EQ(channels_has_an(&reg, 7), 0);
    EXPECT_EQ(channels_has_an(&reg, 40000), 0);
    EXPECT_EQ(channels_has_an(&reg, -3), 0);
    EXPECT_STREQ(channels_an(&reg, 32767)->name, "max");
    EXPECT_EQ(reg.an_cap, 32768);
    EXPECT_EQ(reg.an_max, 32767);
    const channel_rec *d3 = channels_di(&reg, 3);
    ASSERT_TRUE(d3);
    EXPECT_STREQ(d3->name, "V3");
    EXPECT_STREQ(d3->unit, "");
    EXPECT_EQ(d3->code_max, 0);
    EXPECT_EQ(d3->phys_max, 1);
    EXPECT_EQ(d3->has_scale, 0);
    EXPECT_EQ(channels_has_di(&reg, 4), 0);
    EXPECT_EQ(reg.di_max, 3);
    EXPECT_EQ(reg.di_cap, 64);
}

TEST_F(Channels, CapacityGrowsInPowersOfTwo) {
    channels_registry reg;
    ASSERT_TRUE(channels_an_slot(&reg, 1));
    EXPECT_EQ(reg.an_cap, 64);
    ASSERT_TRUE(channels_an_slot(&reg, 64));
    EXPECT_EQ(reg.an_cap, 128);
    channels_an_slot(&reg, 64)->used = 1;
    ASSERT_TRUE(channels_an_slot(&reg, 100));
    EXPECT_EQ(reg.an_cap, 128);
    EXPECT_EQ(channels_an_slot(&reg, 0), nullptr);
    EXPECT_EQ(channels_an_slot(&reg, 32768), nullptr);
    EXPECT_EQ(channels_di_slot(&reg, -1), nullptr);
    channel_rec *last = channels_di_slot(&reg, 32767);
    ASSERT_TRUE(last);
    EXPECT_EQ(reg.di_cap, 32768);
    EXPECT_EQ(last->used, 0);                 // new records are zeroed
    EXPECT_EQ(channels_has_an(&reg, 64), 1);  // growth keeps records
    channels_clear(&reg);
    EXPECT_EQ(reg.an, nullptr);
    EXPECT_EQ(reg.an_cap, 0);
    EXPECT_EQ(channels_has_an(&reg, 64), 0);
}

TEST_F(Channels, SavesTheExactLayout) {
    channels_registry reg;
    channel_rec *a = channels_an_slot(&reg, 1);
    a->used = 1;
    strcpy(a->unit, "°C");
    a->code_max = 27648;
    a->el_min = 4;
    a->el_max = 20;
    strcpy(a->el_unit, "mA");
    a->phys_max = 150;
    strcpy(a->plc_tag, "HMI_A[1]");
    strcpy(a->group, "Logix5000_0");
    channel_rec *b = channels_an_slot(&reg, 3);
    b->used = 1;
    b->phys_max = 0.123456789;
    channels_an_slot(&reg, 2);  // not used: not written
    channel_rec *d = channels_di_slot(&reg, 2);
    d->used = 1;
    strcpy(d->name, "V\"2\"");
    strcpy(d->desc, "клапан\n");
    ASSERT_EQ(channels_save(&reg, path_.c_str()), 0);
    EXPECT_EQ(read(),
              "{\n  \"version\": 1,\n  \"analogs\": [\n"
              "    {\"id\":\"A1\",\"unit\":\"°C\",\"scale\":{\"code_min\":0,\"code_max\":27648,"
              "\"el_min\":4,\"el_max\":20,\"el_unit\":\"mA\",\"phys_min\":0,\"phys_max\":150},"
              "\"plc_tag\":\"HMI_A[1]\",\"group\":\"Logix5000_0\"},\n"
              "    {\"id\":\"A3\",\"scale\":{\"code_min\":0,\"code_max\":0,\"el_min\":0,"
              "\"el_max\":0,\"phys_min\":0,\"phys_max\":0.123457}}"
              "\n  ],\n  \"discretes\": [\n"
              "    {\"id\":\"D2\",\"name\":\"V\\\"2\\\"\",\"desc\":\"клапан\\n\","
              "\"scale\":{\"phys_min\":0,\"phys_max\":0}}"
              "\n  ]\n}\n");
    channels_registry empty;
    ASSERT_EQ(channels_save(&empty, path_.c_str()), 0);
    EXPECT_EQ(read(),
              "{\n  \"version\": 1,\n  \"analogs\": [\n\n  ],\n  \"discretes\": [\n\n  ]\n}\n");
    EXPECT_TRUE(json_ptr(json_parse(read().c_str())));
}

TEST_F(Channels, SaveLoadRoundTrip) {
    channels_registry reg;
    for (int n : {1, 2, 77, 32767}) {
        channel_rec *r = channels_an_slot(&reg, n);
        r->used = 1;
        snprintf(r->name, sizeof r->name, "TT%d", n);
        strcpy(r->desc, "Тиск пари в барабані \"Б-1\", \\ розділ\tтаб");
        r->code_min = -100;
        r->code_max = n == 2 ? -100 : 32000;  // channel 2 has no scale
        r->phys_min = -1.5;
        r->phys_max = 2.5e-5;
        channels_update_scale(r);
    }
    channel_rec *d = channels_di_slot(&reg, 5);
    d->used = 1;
    strcpy(d->area, "Цех №2");
    ASSERT_EQ(channels_save(&reg, path_.c_str()), 0);
    channels_registry back;
    ASSERT_EQ(channels_load(&back, path_.c_str()), 0);
    for (int n : {1, 2, 77, 32767}) {
        const channel_rec *r = channels_an(&back, n);
        ASSERT_TRUE(r) << n;
        EXPECT_EQ(0, memcmp(r, &reg.an[n], sizeof *r)) << n;
    }
    EXPECT_EQ(channels_an(&back, 2)->has_scale, 0);
    EXPECT_EQ(channels_to_phys(channels_an(&back, 2), 1234.5), 1234.5);
    EXPECT_EQ(0, memcmp(channels_di(&back, 5), d, sizeof *d));
    EXPECT_EQ(back.an_max, 32767);
    EXPECT_EQ(back.di_max, 5);
    // Saving the reloaded registry gives the same bytes.
    std::string first = read();
    ASSERT_EQ(channels_save(&back, path_.c_str()), 0);
    EXPECT_EQ(read(), first);
}

TEST_F(Channels, NonFiniteNumbersKeepTheFileReadable) {
    channels_registry reg;
    channel_rec *r = channels_an_slot(&reg, 1);
    r->used = 1;
    r->code_min = NAN;
    r->code_max = INFINITY;
    r->phys_max = 10;
    channels_update_scale(r);
    ASSERT_EQ(channels_save(&reg, path_.c_str()), 0);
    channels_registry back;
    ASSERT_EQ(channels_load(&back, path_.c_str()), 0);
    EXPECT_EQ(channels_an(&back, 1)->code_max, 0);
    EXPECT_EQ(channels_an(&back, 1)->phys_max, 10);
}

TEST_F(Channels, LongTextIsCutOnACharacterBoundary) {
    std::string longname(200, 'x');
    std::string cyr;
    for (int i = 0; i < 150; i++)
        cyr += "ж";  // 300 bytes
    write("{\"analogs\":[{\"id\":\"A1\",\"name\":\"" + longname + "\",\"desc\":\"" + cyr +
          "\",\"el_unit\":\"x\",\"scale\":{\"el_unit\":\"мА/Aмм\"}}]}");
    channels_registry reg;
    ASSERT_EQ(channels_load(&reg, path_.c_str()), 0);
    const channel_rec *r = channels_an(&reg, 1);
    EXPECT_EQ(strlen(r->name), 63u);
    EXPECT_EQ(strlen(r->desc), 190u);  // 191 would split a two-byte letter
    EXPECT_STREQ(r->el_unit, "мА/A");
}

TEST_F(Channels, FailedLoadKeepsThePreviousRegistry) {
    write(R"({"analogs":[{"id":"A2","name":"keep"}]})");
    channels_registry reg;
    ASSERT_EQ(channels_load(&reg, path_.c_str()), 0);
    for (const char *bad : {"", "{\"analogs\":[", "[]", "42", "{\"analogs\":[{\"id\":\"A1\",}]}"}) {
        write(bad);
        EXPECT_EQ(channels_load(&reg, path_.c_str()), -1) << bad;
        EXPECT_STREQ(channels_an(&reg, 2)->name, "keep");
    }
    EXPECT_EQ(channels_load(&reg, (dir_ + "/missing.json").c_str()), -1);
    EXPECT_EQ(channels_load(&reg, nullptr), -1);
    EXPECT_EQ(channels_has_an(&reg, 2), 1);
    // A valid file replaces everything, also with no arrays at all.
    write("{}");
    EXPECT_EQ(channels_load(&reg, path_.c_str()), 0);
    EXPECT_EQ(channels_has_an(&reg, 2), 0);
}

TEST_F(Channels, SaveReplacesAtomicallyAndReportsFailure) {
    write("old");
    channels_registry reg;
    channels_an_slot(&reg, 1)->used = 1;
    EXPECT_EQ(channels_save(&reg, (dir_ + "/no/such/dir/channels.json").c_str()), -1);
    EXPECT_EQ(read(), "old");
    ASSERT_EQ(channels_save(&reg, path_.c_str()), 0);
    EXPECT_NE(read(), "old");
    // No temporary file is left beside the target.
    EXPECT_EQ(tsup::list_dir(dir_).size(), 1u);
}

TEST(ChannelScale, ConvertsBothWays) {
    channel_rec r{};
    r.used = 1;
    r.code_min = 0;
    r.code_max = 27648;
    r.phys_min = -50;
    r.phys_max = 150;
    channels_update_scale(&r);
    ASSERT_EQ(r.has_scale, 1);
    EXPECT_DOUBLE_EQ(channels_to_phys(&r, 0), -50);
    EXPECT_DOUBLE_EQ(channels_to_phys(&r, 13824), 50);
    EXPECT_DOUBLE_EQ(channels_to_phys(&r, 27648), 150);
    EXPECT_DOUBLE_EQ(channels_to_code(&r, 50), 13824);
    EXPECT_DOUBLE_EQ(channels_to_code(&r, -50), 0);
    for (double v : {-1000.0, 0.5, 12345.678, 40000.0})
        EXPECT_NEAR(channels_to_code(&r, channels_to_phys(&r, v)), v, 1e-9);
    // Reversed ranges work too.
    r.code_min = 100;
    r.code_max = 0;
    EXPECT_DOUBLE_EQ(channels_to_phys(&r, 100), -50);
    EXPECT_DOUBLE_EQ(channels_to_phys(&r, 0), 150);
}

TEST(ChannelScale, DegenerateScalesPassValuesUnchanged) {
    channel_rec r{};
    r.code_min = r.code_max = 5;
    r.phys_min = 0;
    r.phys_max = 100;
    channels_update_scale(&r);
    EXPECT_EQ(r.has_scale, 0);
    EXPECT_EQ(channels_to_phys(&r, 7.25), 7.25);
    EXPECT_EQ(channels_to_code(&r, 7.25), 7.25);
    // has_scale set by hand over an equal code range: still no division by zero.
    r.has_scale = 1;
    EXPECT_EQ(channels_to_phys(&r, 7.25), 7.25);
    EXPECT_EQ(channels_to_code(&r, 7.25), 7.25);
    // Equal physical range: forward maps everything to it, the inverse passes.
    r.code_max = 10;
    r.phys_min = r.phys_max = 3;
    channels_update_scale(&r);
    EXPECT_EQ(channels_to_phys(&r, 8), 3);
    EXPECT_EQ(channels_to_code(&r, 3), 3);
    // NaN in the range counts as a scale; the result is not a number (bad value).
    r.code_min = NAN;
    channels_update_scale(&r);
    EXPECT_EQ(r.has_scale, 1);
    EXPECT_TRUE(isnan(channels_to_phys(&r, 1)));
    EXPECT_EQ(channels_to_phys(nullptr, 4), 4);
    EXPECT_EQ(channels_to_code(nullptr, 4), 4);
}

TEST(ChannelRegistry, MovesOwnership) {
    channels_registry a;
    channels_an_slot(&a, 3)->used = 1;
    channels_registry b(std::move(a));
    EXPECT_EQ(channels_has_an(&b, 3), 1);
    EXPECT_EQ(a.an, nullptr);
    channels_registry c;
    channels_di_slot(&c, 1)->used = 1;
    c = std::move(b);
    EXPECT_EQ(channels_has_an(&c, 3), 1);
    EXPECT_EQ(channels_has_di(&c, 1), 0);
}

}  // namespace
