#pragma once
// MQTT bridge maps and broker settings as the engineering editor sees them:
// the map check (stricter than the bridge's loader, which only disables a
// bad entry), the tag list and the files of the bridge directory.

#include <string>

// The bridge directory of the mqtt section of config.yaml ("./mqtt" by
// default).
std::string eng_mqtt_dir(const char *yaml_path);

// The map the bridge will run next: the pending import when one waits for
// the reload signal, else mqtt.json, else the empty map.
std::string eng_mqtt_read(const std::string &dir);
// The bridge's status.json; "" when it has not written one.
std::string eng_mqtt_status_read(const std::string &dir);
// {"has":..,"tags":[...]} of the own channels of config.yaml.
std::string eng_mqtt_tags_json(const char *yaml_path);

// Checks a map against the own tags and prefix of config.yaml: 0 and "[]",
// or -1 with *errors the list [{"id":..,"msg":".."},...].
int eng_mqtt_check(const std::string &body, const char *yaml_path, std::string *errors);
// Checks a map; on success writes it unchanged as <dir>/mqtt.json.import.
// Returns 0, or -1 with *errors the list [{"id":..,"msg":".."},...]; -2
// when the file cannot be written (*errors holds the message).
int eng_mqtt_write(const std::string &dir, const char *yaml_path, const std::string &body,
                   std::string *errors);
