// zqlogix with a large connection (conn_size) against zqplcsim: the database
// it fills must match the classic connection's item for item, writes must
// land the same way, and a controller that refuses Large Forward Open gets
// the classic connection.

#include <cstring>

#include "test_driver_util.h"

namespace {

constexpr int kScalars = 700;
constexpr int kFirstScalar = 100;  // channel of the first scalar
const char *const kTypes[] = {"REAL", "LREAL", "DINT", "SINT", "LINT", "INT", "BOOL", "UDINT"};

// Names of mixed lengths so that requests, not only replies, fill packets.
std::string scalar_name(int i) {
    std::string n = "S" + std::to_string(i);
    if (i % 3 == 0) n += "_with_a_rather_long_descriptive_name";
    return n;
}

// Every item form of the classic poll test, plus enough scalars of mixed
// sizes to need several packets, and an LREAL array wider than one reply.
std::string group_yaml(const std::string &addr, int id, int conn_size) {
    std::string s = "    - id: " + std::to_string(id) + "\n      ipaddr: " + addr +
                    "\n      connpath: backplane\\0\n      takt: 50\n";
    if (conn_size) s += "      conn_size: " + std::to_string(conn_size) + "\n";
    s += "      items: |\n" + std::string(kItemForms) +
         "        A15,v,Wide8[0]\n"
         "        A16,v,Wide8[598]\n"
         "        A17,v,Wide8[650]\n"
         "        D5,c,Bits[3]\n"
         "        D6,c,Bits[511]\n";
    for (int i = 0; i < kScalars; ++i)
        s += "        A" + std::to_string(kFirstScalar + i) + ",v," + scalar_name(i) + "\n";
    return s;
}

std::vector<std::string> sim_tags() {
    std::vector<std::string> t = kItemFormTags;
    for (const char *extra : {"Wide8:LREAL[700]=2.5", "Bits:BOOL[512]"}) {
        t.push_back("--tag");
        t.push_back(extra);
    }
    for (int i = 0; i < kScalars; ++i) {
        const char *type = kTypes[i % 8];
        int v = strcmp(type, "BOOL") == 0 ? 1 : i % 100 - 20;
        t.push_back("--tag");
        t.push_back(scalar_name(i) + ":" + type + "[1]=" + std::to_string(v));
    }
    return t;
}

const int kAnalogs[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
const int kDiscretes[] = {1, 2, 3, 4, 5, 6};

// Channels whose value, quality or type differ between the two databases.
std::string differences(const driver_proc &a, const driver_proc &b) {
    std::string out;
    auto an = [&](int i) {
        const ShmAnalog *x = a.an(i), *y = b.an(i);
        bool same_value = x->value == y->value || (std::isnan(x->value) && std::isnan(y->value));
        if (!same_value || x->quality != y->quality || a.an_vt(i) != b.an_vt(i))
            out += "A" + std::to_string(i) + ": " + std::to_string(x->value) + "/q" +
                   std::to_string(x->quality) + " vs " + std::to_string(y->value) + "/q" +
                   std::to_string(y->quality) + "\n";
    };
    for (int i : kAnalogs)
        an(i);
    for (int i = 0; i < kScalars; ++i)
        an(kFirstScalar + i);
    for (int i : kDiscretes) {
        const ShmDiscrete *x = a.di(i), *y = b.di(i);
        if (x->value != y->value || x->quality != y->quality || a.di_vt(i) != b.di_vt(i))
            out += "D" + std::to_string(i) + ": " + std::to_string(x->value) + " vs " +
                   std::to_string(y->value) + "\n";
    }
    return out;
}

// Waits for a few complete passes of the driver after now.
bool passes(const driver_proc &d, uint32_t n) {
    uint32_t from = shm_header(&d.db)->poll_count;
    return wait_until([&] { return shm_header(&d.db)->poll_count >= from + n; }, 10000);
}

class DriverLarge : public ::testing::Test {
  protected:
    plcsim_proc sim;
    driver_proc classic, large;
    void SetUp() override {
        ASSERT_TRUE(sim.start(sim_tags()));
        ASSERT_TRUE(
            sim.control("set Flags[5] 1\nset Flags[40] 1\nset Dbl[150] -8.5\n"
                        "set Wide8[650] 6.75\nset Bits[511] 1"));
    }
    void TearDown() override { sim.cleanup(); }
    // Both drivers polling with every item's type learned.
    void start_both() {
        ASSERT_TRUE(classic.start("  groups:\n" + group_yaml(sim.addr, 0, 0)));
        ASSERT_TRUE(large.start("  groups:\n" + group_yaml(sim.addr, 1, 4002)));
        ASSERT_TRUE(large.wait_log("Large ForwardOpen, 4002 байт", 10000)) << large.log();
        ASSERT_TRUE(large.wait_log("груповий масив 'Main.Buf[2]' [2..15]: 2 тегів", 10000))
            << large.log();
        ASSERT_TRUE(classic.wait_log("груповий масив 'Main.Buf[2]' [2..15]: 2 тегів", 10000));
        ASSERT_TRUE(passes(classic, 3));
        ASSERT_TRUE(passes(large, 3));
    }
};

TEST_F(DriverLarge, SameValuesQualitiesAndTypesAsTheClassicConnection) {
    start_both();
    EXPECT_TRUE(large.wait_log("Паралельних з'єднань з ПЛК: 4", 1000)) << large.log();
    EXPECT_NE(sim.output().find("opened (size 4002)"), std::string::npos);
    EXPECT_EQ(differences(classic, large), "");
    // Spot checks that the comparison is not between two empty databases.
    EXPECT_TRUE(large.an_is(1, 21.5));
    EXPECT_TRUE(large.an_is(10, -8.5));
    EXPECT_EQ(large.an(17)->quality, 0);  // past the 600-element window: never read
    EXPECT_TRUE(large.an_is(16, 2.5));
    EXPECT_TRUE(large.an_is(14, 4));
    EXPECT_TRUE(large.di_is(6, 1));
    EXPECT_TRUE(large.an_is(kFirstScalar + 1, -19));  // an LREAL scalar
    EXPECT_EQ(large.an_vt(kFirstScalar + 1), 0xCB);
    EXPECT_TRUE(large.an_is(kFirstScalar + kScalars - 1, 79));  // SINT
    EXPECT_EQ(large.an(8)->quality, 0);
    EXPECT_TRUE(large.wait_log("тег 'Nope' не знайдено в ПЛК (CIP 0x04)", 5000));
    // Requests stayed within the connection: nothing refused for size.
    EXPECT_EQ(sim.output().find("refused request of"), std::string::npos);
    EXPECT_EQ(sim.output().find("reply too large"), std::string::npos);
}

TEST_F(DriverLarge, WritesLandAsWithTheClassicConnection) {
    start_both();
    // Every write form through the large connection; the classic driver
    // reads the result back from the controller.
    large.write_an(1, 12.5);                // REAL scalar
    large.write_an(3, 4.25);                // array element
    large.write_di(1, 0);                   // BOOL array element
    large.write_di(2, 0);                   // bit of a DINT: 88 -> 80
    large.write_an(5, 11);                  // group-read member
    large.write_an(9, -5);                  // LINT
    large.write_an(kFirstScalar + 1, 0.5);  // LREAL scalar
    EXPECT_TRUE(classic.an_is(1, 12.5));
    EXPECT_TRUE(classic.an_is(3, 4.25));
    EXPECT_TRUE(classic.di_is(1, 0));
    EXPECT_TRUE(classic.an_is(12, 80));
    EXPECT_TRUE(classic.an_is(5, 11));
    EXPECT_TRUE(classic.an_is(9, -5));
    EXPECT_TRUE(classic.an_is(kFirstScalar + 1, 0.5));
    // And the other way round.
    classic.write_an(2, 77);
    classic.write_di(6, 0);
    EXPECT_TRUE(large.an_is(2, 77));
    EXPECT_TRUE(large.di_is(6, 0));
    ASSERT_TRUE(passes(classic, 2));
    ASSERT_TRUE(passes(large, 2));
    EXPECT_EQ(differences(classic, large), "");
    EXPECT_EQ(large.log_count("Помилка запису"), 0u) << large.log();
}

TEST_F(DriverLarge, RefusedLargeForwardOpenFallsBackToTheClassicConnection) {
    ASSERT_TRUE(sim.control("refuse_large_forward_open 1"));
    ASSERT_TRUE(classic.start("  groups:\n" + group_yaml(sim.addr, 0, 0)));
    ASSERT_TRUE(large.start("  groups:\n" + group_yaml(sim.addr, 1, 4002)));
    ASSERT_TRUE(large.wait_log("Large ForwardOpen відхилено (CIP 0x08)", 10000)) << large.log();
    EXPECT_TRUE(large.wait_log("Connected Messaging (ForwardOpen) активовано", 5000));
    ASSERT_TRUE(large.wait_log("груповий масив 'Main.Buf[2]' [2..15]: 2 тегів", 10000));
    ASSERT_TRUE(classic.wait_log("груповий масив 'Main.Buf[2]' [2..15]: 2 тегів", 10000));
    ASSERT_TRUE(passes(classic, 3));
    ASSERT_TRUE(passes(large, 3));
    EXPECT_EQ(differences(classic, large), "");
    EXPECT_EQ(large.log_count("Паралельних з'єднань"), 0u);
    EXPECT_EQ(sim.output().find("opened (size 4002)"), std::string::npos);

    // A reconnect tries again but says so only once.
    ASSERT_TRUE(sim.control("drop_all"));
    EXPECT_TRUE(large.wait_log("Connected Messaging (ForwardOpen) активовано", 10000, 2));
    EXPECT_EQ(large.log_count("Large ForwardOpen відхилено"), 1u);

    // Once the controller accepts it, the next connection is a large one.
    ASSERT_TRUE(sim.control("refuse_large_forward_open 0\ndrop_all"));
    EXPECT_TRUE(large.wait_log("Large ForwardOpen, 4002 байт", 10000)) << large.log();
    EXPECT_TRUE(large.an_is(1, 21.5));
}

}  // namespace
