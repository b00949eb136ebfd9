#pragma once
// The bridge's settings (the `mqtt` section of config.yaml), its own
// channels, and the maps file mqtt.json (publications, subscriptions, the
// value-request service).
#include <stdint.h>

#include <string>
#include <vector>

struct json_node;
struct channels_registry;

struct mq_config {
    std::string host;  // empty: no broker configured
    int port = 1883;
    bool tls = false;
    std::string ca_file;
    bool tls_insecure = false;
    std::string client_id, user, pass, prefix;
    std::string dir = "./mqtt";
    int keepalive_s = 30;
    int takt_ms = 200;
    std::string shm_name;
};

struct mq_own {
    bool discrete = false;
    int channel = 0;
    std::string name;
};

// A channel reference: kind 'A' or 'D' and number >= 1.
struct mq_tag {
    char kind = 0;
    int channel = 0;
};

struct mq_pub {
    int id = 0;
    bool enabled = true;
    mq_tag tag;
    std::string tag_text, topic;  // topic with the prefix applied
    int qos = 0;
    bool retain = false;
    double deadband = 0;
    int64_t min_ms = 1000, max_ms = 0;
    // run-time state
    bool published = false;
    int64_t last_mono_ms = 0;
    bool last_good = false;
    double last_value = 0;
};

struct mq_sub {
    int id = 0;
    bool enabled = true;
    mq_tag tag;
    std::string tag_text, topic;
    int qos = 0;
    int64_t stale_ms = 0;
    int64_t last_rx_mono_ms = 0;  // 0 = nothing received yet
};

struct mq_maps {
    std::vector<mq_pub> pub;
    std::vector<mq_sub> sub;
    bool get_enabled = true;
    std::vector<mq_tag> allow;
};

// Broker text "[scheme://]host[:port]" into host, port and tls.
void mq_parse_broker(const char *text, mq_config *cfg);
// "zq_<project>" from the database name and the configured logix.shm_name.
std::string mq_default_client_id(const std::string &shm_name, const char *logix_shm_name);
// The mqtt section of a parsed config.yaml; -1 when there is none. Own
// channels go to *own (bad lines logged and skipped).
int mq_config_from_yaml(const json_node *root, mq_config *cfg, std::vector<mq_own> *own);

// "A12"/"d3" (case-insensitive, nothing after the number), else the name of
// an own channel. false when it names nothing.
bool mq_resolve_tag(const char *text, const std::vector<mq_own> &own, mq_tag *out);
bool mq_is_own(const mq_tag &t, const std::vector<mq_own> &own);

// Loads <dir>/mqtt.json into *maps, logging every disabled entry and the
// summary. A missing or unparsable file leaves no maps. Entries whose topic
// the codec would refuse are disabled here, once, rather than failing every
// connection.
void mq_maps_load(const std::string &path, const mq_config &cfg, const std::vector<mq_own> &own,
                  mq_maps *maps);
