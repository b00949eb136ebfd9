// Replays the MQTT map fuzz corpus through the map check under the
// sanitizers: each body gives the number of errors recorded for it.
#include <gtest/gtest.h>

#include "tests/fuzz/corpus_files.h"

#include <map>
#include <string>

#include "common/json.h"
#include "server/eng_mqtt.h"

TEST(EngMqttFuzzCorpus, EveryMapChecksAsRecorded) {
    const std::map<std::string, std::string> recorded = {
        {"bad_entries.json", "-1 7"}, {"good.json", "0 0"},       {"not_lists.json", "-1 2"},
        {"nul_inside.json", "-1 1"},  {"truncated.json", "-1 1"},
    };
    fuzz_corpus_expect("eng_mqtt_map", recorded, [](const std::string &data) {
        std::string errors;
        int rc = eng_mqtt_check(data, "/nonexistent/zq-fuzz/config.yaml", &errors);
        json_ptr list(json_parse(errors.c_str()));
        return std::to_string(rc) + " " + std::to_string(json_count(list.get()));
    });
}
