// Channel rows through the engineering API: listing, edits written as an
// import beside the registry, and the real supervisor applying them.
#include <gtest/gtest.h>

#include <string>

#include "common/channels.h"
#include "eng_test_util.h"

using namespace engtest;

namespace {

const char *REGISTRY =
    "{\"version\":1,\"analogs\":["
    "{\"id\":\"A1\",\"name\":\"T1\",\"desc\":\"Температура\",\"unit\":\"C\",\"scale\":"
    "{\"code_min\":0,\"code_max\":1000,\"el_min\":4,\"el_max\":20,\"phys_min\":0,\"phys_max\":150},"
    "\"plc_tag\":\"Boiler_Temp\"}],"
    "\"discretes\":[{\"id\":\"D1\",\"name\":\"Run\",\"desc\":\"Пуск\"},"
    "{\"id\":\"D5\",\"name\":\"Stop\",\"desc\":\"Стоп\"}]}";

TEST(EngChannels, ListEditAndPendingImports) {
    eng_server srv;
    write_file(srv.dir + "/channels.json", REGISTRY);
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(
        srv.eget("/api/eng/channels?file=d").body,
        "{\"which\":\"d\",\"rows\":[{\"nn\":1,\"id\":\"D1\",\"name\":\"Run\",\"desc\":\"Пуск\","
        "\"phys_min\":0,\"phys_max\":0,\"equipment\":\"\",\"loop\":\"\",\"device_type\":\"\","
        "\"area\":\"\",\"plc_tag\":\"\",\"group\":\"\"},{\"nn\":5,\"id\":\"D5\",\"name\":"
        "\"Stop\",\"desc\":\"Стоп\",\"phys_min\":0,\"phys_max\":0,\"equipment\":\"\","
        "\"loop\":\"\",\"device_type\":\"\",\"area\":\"\",\"plc_tag\":\"\",\"group\":\"\"}],"
        "\"capacity\":6}");
    response one = srv.eget("/api/eng/channel-scale?file=a&nn=1");
    EXPECT_NE(one.body.find("\"code_min\":0,\"code_max\":1000,\"el_min\":4,\"el_max\":20"),
              std::string::npos)
        << one.body;
    EXPECT_EQ(srv.eget("/api/eng/channel-scale?file=a&nn=2").status, 404);
    EXPECT_EQ(srv.eget("/api/eng/channel-scale?file=a&nn=0").status, 400);

    for (const char *rows : {"{\"rows\":[{\"desc\":\"x\"}]}", "{\"rows\":[{\"nn\":0}]}",
                             "{\"rows\":[{\"nn\":32768}]}", "{\"rows\":[{\"nn\":\"x\"}]}", "[1"})
        EXPECT_EQ(member(srv.epost("/api/eng/save?file=a", rows).body, "error"), "No valid rows")
            << rows;

    // A new channel, a description with escapes, code range equal: no scale.
    std::string import = srv.dir + "/channels.json.import";
    response r = srv.epost("/api/eng/save?file=a",
                           "{\"rows\":[{\"nn\":40,\"desc\":\"Нова \\\"лінія\\\"\\u00b0\"},"
                           "{\"nn\":1,\"code_max\":0,\"plc_tag\":\"Other\"}]}");
    EXPECT_EQ(member(r.body, "msg"), "saved 2 ch (last A1) → ./channels.json.import") << r.body;
    // A second save before the supervisor applied the first keeps both.
    r = srv.epost("/api/eng/save?file=a", "{\"nn\":2,\"name\":\"P2\"}");
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(read_file(srv.dir + "/channels.json"), REGISTRY);
    channels_registry reg;
    ASSERT_EQ(channels_load(&reg, import.c_str()), 0);
    ASSERT_TRUE(channels_an(&reg, 40));
    EXPECT_STREQ(channels_an(&reg, 40)->desc, "Нова \"лінія\"°");
    EXPECT_EQ(reg.an_max, 40);
    ASSERT_TRUE(channels_an(&reg, 2));
    EXPECT_STREQ(channels_an(&reg, 2)->name, "P2");
    const channel_rec *a1 = channels_an(&reg, 1);
    EXPECT_STREQ(a1->plc_tag, "Boiler_Temp");
    EXPECT_STREQ(a1->desc, "Температура");
    EXPECT_EQ(a1->has_scale, 0);
    EXPECT_EQ(a1->phys_max, 150);

    // Long texts are cut on a character boundary.
    std::string longdesc;
    for (int i = 0; i < 200; i++)
        longdesc += "ж";
    EXPECT_EQ(srv.epost("/api/eng/save?file=d", "{\"nn\":5,\"desc\":\"" + longdesc + "\"}").status,
              200);
    ASSERT_EQ(channels_load(&reg, import.c_str()), 0);
    const channel_rec *d5 = channels_di(&reg, 5);
    ASSERT_TRUE(d5);
    EXPECT_EQ(strlen(d5->desc), 190u);
    EXPECT_EQ(srv.eget("/api/eng/groups").body, "[]");
}

TEST(EngChannels, SupervisorAppliesTheImport) {
    tsup::TempDir root{"engsup"};
    std::string proj = root.path;
    int port = free_port();
    tsup::ShmName shm{"engsup"};
    write_file(proj + "/config.yaml", "scada:\n  port: " + std::to_string(port) +
                                          "\n  wwwdir: ./www\n  eng_password: \"" + PASSWORD +
                                          "\"\nlogix:\n  shm_name: " + shm.name + "\n");
    mkdir((proj + "/www").c_str(), 0755);
    tsup::Child sup;
    ASSERT_TRUE(tsup::child_start(&sup, {.argv = {std::string(ZQ_BIN_DIR) + "/zqsup", proj},
                                         .unset_env = {"LOGIX_SHM_NAME", "ZQSTACK_DIR"},
                                         .out_path = proj + "/sup.txt",
                                         .err_path = proj + "/sup.err"}));
    ASSERT_TRUE(wait_for(
        [&] { return read_file(proj + "/sup.txt").find("[zqsup] running.") != std::string::npos; },
        15000))
        << read_file(proj + "/sup.txt") << read_file(proj + "/sup.err");
    auto api = [&](const std::string &m, const std::string &target, const std::string &body = "") {
        return tsup::http_request(port, m, target, body,
                                  {{"Authorization", "Basic " + b64(std::string(":") + PASSWORD)},
                                   {"Content-Type", "application/json"}});
    };
    ASSERT_TRUE(wait_for([&] { return api("GET", "/api/eng/whoami").status == 200; }));
    write_file(proj + "/channels.json", REGISTRY);
    EXPECT_EQ(api("POST", "/api/eng/save?file=a", "{\"nn\":3,\"desc\":\"Тиск пари\"}").status, 200);
    tsup::HttpResponse n = api("POST", "/api/eng/notify-scales", "{}");
    EXPECT_EQ(member(n.body, "msg"), "SIGUSR1 sent to 1 zqsup") << n.body;
    EXPECT_TRUE(wait_for([&] {
        return tsup::http_request(port, "GET", "/api/meta").body.find("\"A3\":\"Тиск пари\"") !=
               std::string::npos;
    })) << tsup::http_request(port, "GET", "/api/meta").body;
    EXPECT_FALSE(file_exists(proj + "/channels.json.import"));
    tsup::child_stop(&sup, 15000);
}

}  // namespace
