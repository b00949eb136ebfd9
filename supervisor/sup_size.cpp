// Database sizing from config.yaml: channel capacities from the items of the
// Logix groups and of every other section with items, and one PLC block per
// distinct (controller IP, slot).

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/yaml.h"
#include "sup.h"

namespace {

// Past this a count is absurd anyway; saturating here keeps the 64-bit size
// arithmetic far from overflow.
constexpr uint64_t SUP_COUNT_CAP = uint64_t(1) << 40;

uint64_t parse_digits_sat(const char *p) {
    uint64_t v = 0;
    while (*p >= '0' && *p <= '9') {
        v = v * 10 + uint64_t(*p - '0');
        if (v > SUP_COUNT_CAP) v = SUP_COUNT_CAP;
        p++;
    }
    return v;
}

// Slot from a connection path: the number after its last backslash or, failing
// that, its last slash; 0 when there is neither.
long slot_from_connpath(const char *connpath) {
    if (!connpath || !*connpath) return 0;
    const char *sep = strrchr(connpath, '\\');
    if (!sep) sep = strrchr(connpath, '/');
    if (!sep) return 0;
    const char *p = sep + 1;
    long v = 0;
    while (*p >= '0' && *p <= '9' && v < 100000000)
        v = v * 10 + (*p++ - '0');
    return v;
}

struct sup_conn {
    std::string ip;
    long slot;
};

uint32_t count_of(long long explicit_value, uint64_t scanned) {
    if (explicit_value >= 1) {
        uint64_t v = uint64_t(explicit_value);
        return v > UINT32_MAX ? UINT32_MAX : uint32_t(v);
    }
    return scanned > UINT32_MAX ? UINT32_MAX : uint32_t(scanned);
}

}  // namespace

// Raises max_a / max_d to cover the channels named by one items value.
// Numbers saturate instead of wrapping, so a typo like A99999999999 is seen
// as absurd rather than as a small channel.
static void items_scan_max(const json_node *items, uint64_t *max_a, uint64_t *max_d) {
    if (!items) return;
    for (const std::string &line : yaml_items_vec(items)) {
        const char *p = line.c_str();
        while (*p == ' ')
            p++;
        int c = toupper((unsigned char)*p);
        if (c != 'A' && c != 'D') continue;
        uint64_t n = parse_digits_sat(p + 1) + 1;
        uint64_t *m = (c == 'A') ? max_a : max_d;
        if (n > *m) *m = n;
    }
}

int sup_spec_from_tree(const json_node *root, sup_shm_sizing *out, uint64_t *total_out) {
    uint64_t max_a = 0, max_d = 0;
    long long exp_a = 0, exp_d = 0;
    bool has_groups = false;
    std::vector<sup_conn> conns;

    for (const json_node *sec = root ? root->child : nullptr; sec; sec = sec->next) {
        if (!sec->key) continue;
        if (strcmp(sec->key, "logix") == 0) {
            if (sec->type != JSON_OBJECT) continue;
            exp_a = json_geti(sec, "analogs", 0);
            exp_d = json_geti(sec, "discrets", 0);
            const json_node *groups = json_get(sec, "groups");
            if (!groups || groups->type != JSON_ARRAY) continue;
            for (const json_node *g = groups->child; g; g = g->next) {
                has_groups = true;
                if (g->type != JSON_OBJECT) continue;
                items_scan_max(json_get(g, "items"), &max_a, &max_d);
                const char *ip = json_gets(g, "ipaddr", "");
                if (!ip || !*ip) continue;
                std::string ipt(ip, strnlen(ip, 63));
                long slot = slot_from_connpath(json_gets(g, "connpath", ""));
                bool dup = false;
                for (const sup_conn &c : conns) {
                    if (c.ip == ipt && c.slot == slot) dup = true;
                }
                if (dup || conns.size() >= SUP_MAX_CONNECTIONS) continue;
                conns.push_back({ipt, slot});
            }
        } else if (sec->type == JSON_OBJECT) {
            items_scan_max(json_get(sec, "items"), &max_a, &max_d);
        }
    }

    out->analogs = count_of(exp_a, max_a);
    out->discretes = count_of(exp_d, max_d);
    out->plcs = uint32_t(conns.size());
    out->has_groups = has_groups;

    uint64_t a = exp_a >= 1 ? uint64_t(exp_a) : max_a;
    uint64_t d = exp_d >= 1 ? uint64_t(exp_d) : max_d;
    if (a > SUP_COUNT_CAP) a = SUP_COUNT_CAP;
    if (d > SUP_COUNT_CAP) d = SUP_COUNT_CAP;
    // Computed here rather than with shm_total_size, which keeps only the low
    // 32 bits of each count.
    uint64_t total = SHM_HEADER_SIZE + uint64_t(SHM_ANALOG_SIZE + SHM_WRITE_SLOT_SIZE + 1) * a +
                     uint64_t(SHM_DISCRETE_SIZE + SHM_WRITE_SLOT_SIZE + 1) * d +
                     uint64_t(SHM_PLC_SIZE) * conns.size();
    if (total_out) *total_out = total;
    return total > UINT32_MAX ? -2 : 0;
}

int shm_spec_from_yaml(sup_shm_sizing *out, uint64_t *total_out) {
    json_ptr root(yaml_parse_file("./config.yaml"));
    if (!root) return -1;
    return sup_spec_from_tree(root.get(), out, total_out);
}

std::string shm_prefix_from_yaml(const std::string &project_dir) {
    std::string path = project_dir + "/config.yaml";
    json_ptr root(yaml_parse_file(path.c_str()));
    const json_node *logix = root ? json_get(root.get(), "logix") : nullptr;
    const json_node *name = logix ? json_get(logix, "shm_name") : nullptr;
    if (name && name->type == JSON_STRING && shm_name_prefix_valid(name->string)) {
        return std::string(name->string, strnlen(name->string, 63));
    }
    return SHM_DEFAULT_NAME;
}
