// A plant upgrading from the previous generation: the project holds only
// zqbridge.ini and the CP1251 channel tables. Under the real zqsup it gets
// its config.yaml and channels.json, the driver polls the controller and
// the operator pages show the channels with their legacy descriptions.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "../plc_driver/test_plcsim_util.h"
#include "common/channels.h"
#include "common/cp1251.h"
#include "common/json.h"
#include "common/legacy_base.h"
#include "common/yaml.h"
#include "tests/support/files.h"
#include "tests/support/http.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"

#include "sup_test_util.h"

namespace {

using tsup::file_exists;
using tsup::read_file;
using tsup::wait_for;
using tsup::write_file;

// A table row with a description in CP1251 (column 2, right-aligned).
std::string row(int n, bool discrete, const char *tag, const std::string &desc_utf8) {
    std::string r = legacy_new_row({n, discrete, 'c', "127.0.0.1", tag});
    std::string d = utf8_to_cp1251(desc_utf8);
    r.replace(24 + 50 - d.size(), d.size(), d);
    return r + "\r\n";
}

class LegacyProject : public ::testing::Test {
  protected:
    tsup::TempDir tmp{"legacy_e2e"};
    std::string root = tmp.path, project = "legacy" + std::to_string(getpid()),
                proj = root + "/" + project, shm_name = "/logix_drv_" + project,
                pidfile = "/tmp/zqsup_" + project + ".pid";
    int port = tsup::free_port();
    plcsim_proc sim;
    tsup::Child sup;

    void TearDown() override {
        tsup::child_stop(&sup, 15000);
        sim.cleanup();
        suptest::unlink_shm_objects(shm_name);
        unlink(pidfile.c_str());
        unlink(("/tmp/zqtrend_" + shm_name.substr(1) + ".lock").c_str());
        if (HasFailure())
            std::cerr << "--- zqsup\n"
                      << read_file(root + "/out.txt") << "--- zqplcsim\n"
                      << sim.output();
    }

    void start_sup() {
        ASSERT_TRUE(tsup::child_start(&sup, {.argv = {std::string(ZQ_BIN_DIR) + "/zqsup", proj},
                                             .unset_env = {"LOGIX_SHM_NAME", "ZQSTACK_DIR"},
                                             .out_path = root + "/out.txt",
                                             .err_to_out = true}));
        ASSERT_TRUE(wait_for(
            [&] {
                return read_file(root + "/out.txt").find("[zqsup] running.") != std::string::npos;
            },
            15000));
    }

    json_ptr get_json(const std::string &target) {
        tsup::HttpResponse a = tsup::http_request(port, "GET", target, "", {}, 5000);
        return json_ptr(a.status == 200 ? json_parse(a.body.c_str()) : nullptr);
    }
};

TEST_F(LegacyProject, StartsFromTheIniAndTables) {
    ASSERT_TRUE(
        sim.start({"--tags", std::string(ZQ_SOURCE_DIR) + "/examples/demo/plcsim-tags.yaml"}))
        << sim.output();
    ASSERT_EQ(mkdir(proj.c_str(), 0755), 0);
    std::string ini = "; legacy project\n[scada]\nport=" + std::to_string(port) +
                      "\n[trends]\nautodelsec=5\n"
                      "[Logix5000_0]\nipaddr=" +
                      sim.addr +
                      "\nconnpath=backplane\\0\ntakt=100\n"
                      "item1=A1,v,Boiler_Temp\nitem2=A2,v,Drum_Level\nitem3=D1,c,Pump1_Run\n";
    ASSERT_TRUE(write_file(proj + "/zqbridge.ini", utf8_to_cp1251(ini)));
    std::string a_table = legacy_header() + "\r\n" +
                          row(1, false, "Boiler_Temp", "Температура котла") +
                          row(2, false, "Drum_Level", "Рівень у барабані");
    ASSERT_TRUE(write_file(proj + "/zqbridge.a.base", a_table));

    start_sup();
    if (HasFatalFailure()) return;
    std::string out = read_file(root + "/out.txt");
    EXPECT_NE(out.find("[zqsup] generated ./config.yaml from zqbridge.ini"), std::string::npos);
    EXPECT_NE(out.find("[zqsup] config.yaml: дописано нові секції/ключі зі скелета"),
              std::string::npos);
    EXPECT_NE(out.find("[base_init] creating " + proj + "/zqbridge.d.base (1 channels)"),
              std::string::npos);
    EXPECT_NE(out.find("[base_init] " + proj + "/zqbridge.a.base OK (2 channels)"),
              std::string::npos);
    EXPECT_EQ(read_file(proj + "/zqbridge.a.base"), a_table);

    json_ptr cfg(yaml_parse(read_file(proj + "/config.yaml").c_str()));
    EXPECT_EQ(json_getn(json_get(cfg.get(), "scada"), "port", 0), port);
    EXPECT_NE(json_get(cfg.get(), "update"), nullptr);
    channels_registry reg;
    ASSERT_EQ(channels_load(&reg, (proj + "/channels.json").c_str()), 0);
    ASSERT_TRUE(channels_an(&reg, 1));
    EXPECT_STREQ(channels_an(&reg, 1)->desc, "Температура котла");
    EXPECT_STREQ(channels_an(&reg, 1)->plc_tag, "Boiler_Temp");
    EXPECT_TRUE(channels_di(&reg, 1));

    // The driver polls the simulated controller.
    ASSERT_TRUE(wait_for(
        [&] {
            json_ptr st = get_json("/api/status");
            const json_node *g = json_at(json_get(st.get(), "groups"), 0);
            return g && json_getn(g, "connected", 0) == 1 && json_getn(g, "poll_count", 0) >= 2;
        },
        15000));
    // The operator pages label the channels with the legacy descriptions.
    json_ptr meta = get_json("/api/meta");
    EXPECT_STREQ(json_gets(meta.get(), "A1", ""), "Температура котла");
    EXPECT_STREQ(json_gets(meta.get(), "A2", ""), "Рівень у барабані");

    // A second start changes nothing that is already there.
    std::string cfg_text = read_file(proj + "/config.yaml");
    EXPECT_EQ(tsup::child_stop(&sup, 15000), 0);
    start_sup();
    if (HasFatalFailure()) return;
    EXPECT_EQ(read_file(proj + "/config.yaml"), cfg_text);
    EXPECT_EQ(read_file(proj + "/zqbridge.a.base"), a_table);
}

}  // namespace
