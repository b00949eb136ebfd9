#include <strings.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include "common/json.h"
#include "common/yaml.h"
#include "plc_driver/cip.h"
#include "plcsim.h"

namespace {

uint16_t type_from_name(const std::string &s) {
    const zq_vtype_info *t = zq_vtype_by_name(s.c_str());
    return t ? t->code : 0;
}

bool name_ok(const std::string &n) {
    if (n.empty() || n.size() > 255) return false;
    for (char c : n)
        if (c == '[' || c == ']' || c == ',' || c == ' ' || (unsigned char)c < 0x20) return false;
    return true;
}

sim_signal_kind signal_from_name(const std::string &s, bool *ok) {
    *ok = true;
    if (s.empty() || s == "none") return SIM_SIG_NONE;
    if (s == "ramp") return SIM_SIG_RAMP;
    if (s == "sine") return SIM_SIG_SINE;
    if (s == "square") return SIM_SIG_SQUARE;
    if (s == "walk" || s == "random") return SIM_SIG_WALK;
    *ok = false;
    return SIM_SIG_NONE;
}

// Largest element count: keeps a tag's data within 64 MB.
constexpr uint32_t kMaxCount = 16u * 1024 * 1024;

void tag_alloc(sim_tag *t) {
    t->array = t->count > 1;
    size_t bytes = t->type == CIP_TYPE_BOOL && t->array ? ((size_t)t->count + 31) / 32 * 4
                                                        : (size_t)t->count * cip_type_size(t->type);
    t->data.assign(bytes, 0);
}

bool parse_number(const std::string &s, double *v) {
    if (s.empty()) return false;
    char *end = nullptr;
    *v = strtod(s.c_str(), &end);
    return end && *end == 0 && std::isfinite(*v);
}

}  // namespace

uint16_t sim_tag_wire_type(const sim_tag &t) {
    return t.type == CIP_TYPE_BOOL && t.array ? (uint16_t)CIP_TYPE_DWORD : t.type;
}

uint32_t sim_tag_wire_count(const sim_tag &t) {
    return t.type == CIP_TYPE_BOOL && t.array ? (t.count + 31) / 32 : t.count;
}

int sim_tag_elem_size(const sim_tag &t) {
    return cip_type_size(sim_tag_wire_type(t));
}

uint16_t sim_tag_symbol_type(const sim_tag &t) {
    uint16_t w = sim_tag_wire_type(t);
    if (t.array) w |= 0x2000;  // one dimension
    return w;
}

int sim_tag_parse(const char *spec, sim_tag *out, std::string *err) {
    std::string s = spec ? spec : "";
    *out = sim_tag{};
    std::string init;
    size_t eq = s.find('=');
    if (eq != std::string::npos) {
        init = s.substr(eq + 1);
        s = s.substr(0, eq);
    }
    size_t c1 = s.find(':');
    if (c1 == std::string::npos) {
        *err = "tag '" + s + "': expected NAME:TYPE[N]";
        return -1;
    }
    out->name = s.substr(0, c1);
    std::string rest = s.substr(c1 + 1);
    std::string sig;
    size_t c2 = rest.find(':');
    if (c2 != std::string::npos) {
        sig = rest.substr(c2 + 1);
        rest = rest.substr(0, c2);
    }
    std::string type = rest;
    out->count = 1;
    size_t lb = rest.find('[');
    if (lb != std::string::npos) {
        if (rest.back() != ']') {
            *err = "tag '" + out->name + "': bad element count in '" + rest + "'";
            return -1;
        }
        type = rest.substr(0, lb);
        std::string n = rest.substr(lb + 1, rest.size() - lb - 2);
        char *end = nullptr;
        unsigned long v = strtoul(n.c_str(), &end, 10);
        if (n.empty() || *end != 0 || v < 1 || v > kMaxCount) {
            *err = "tag '" + out->name + "': bad element count '" + n + "'";
            return -1;
        }
        out->count = (uint32_t)v;
    }
    if (!name_ok(out->name)) {
        *err = "bad tag name '" + out->name + "'";
        return -1;
    }
    out->type = type_from_name(type);
    if (out->type == 0) {
        *err = "tag '" + out->name + "': unknown type '" + type + "'";
        return -1;
    }
    tag_alloc(out);
    if (!sig.empty()) {
        std::vector<std::string> parts;
        size_t p = 0;
        for (;;) {
            size_t q = sig.find('/', p);
            parts.push_back(sig.substr(p, q == std::string::npos ? q : q - p));
            if (q == std::string::npos) break;
            p = q + 1;
        }
        bool ok;
        out->signal = signal_from_name(parts[0], &ok);
        if (!ok || parts.size() > 4) {
            *err = "tag '" + out->name + "': bad signal '" + sig + "'";
            return -1;
        }
        double *dst[] = {&out->period_s, &out->min, &out->max};
        for (size_t i = 1; i < parts.size(); i++) {
            if (!parse_number(parts[i], dst[i - 1])) {
                *err = "tag '" + out->name + "': bad signal parameter '" + parts[i] + "'";
                return -1;
            }
        }
        if (out->period_s <= 0) out->period_s = 60;
    }
    if (!init.empty()) {
        double v;
        if (!parse_number(init, &v)) {
            *err = "tag '" + out->name + "': bad value '" + init + "'";
            return -1;
        }
        for (uint32_t i = 0; i < out->count; i++)
            sim_tag_set(out, i, v);
    }
    return 0;
}

int sim_tags_load(const char *path, std::vector<sim_tag> *tags, std::string *err) {
    size_t plen = strlen(path);
    bool is_json = plen > 5 && strcmp(path + plen - 5, ".json") == 0;
    json_ptr root(is_json ? json_parse_file(path) : yaml_parse_file(path));
    if (!root) {
        *err = std::string("cannot read tag file ") + path;
        return -1;
    }
    const json_node *list = json_get(root.get(), "tags");
    if (list == nullptr || list->type != JSON_ARRAY) {
        *err = std::string(path) + ": no \"tags\" list";
        return -1;
    }
    size_t n = json_count(list);
    for (size_t i = 0; i < n; i++) {
        const json_node *e = json_at(list, i);
        std::string where = std::string(path) + ": tag " + std::to_string(i + 1);
        if (e == nullptr || e->type != JSON_OBJECT) {
            *err = where + ": not a map";
            return -1;
        }
        sim_tag t;
        t.name = json_gets(e, "name", "");
        if (!name_ok(t.name)) {
            *err = where + ": bad name '" + t.name + "'";
            return -1;
        }
        t.type = type_from_name(json_gets(e, "type", ""));
        if (t.type == 0) {
            *err = where + ": unknown type '" + json_gets(e, "type", "") + "'";
            return -1;
        }
        long long count = json_geti(e, "count", 1);
        if (count < 1 || count > kMaxCount) {
            *err = where + ": bad count";
            return -1;
        }
        t.count = (uint32_t)count;
        tag_alloc(&t);
        bool ok;
        t.signal = signal_from_name(json_gets(e, "signal", ""), &ok);
        if (!ok) {
            *err = where + ": unknown signal '" + json_gets(e, "signal", "") + "'";
            return -1;
        }
        t.period_s = json_getn(e, "period_s", 60);
        if (!(t.period_s > 0)) t.period_s = 60;
        t.min = json_getn(e, "min", 0);
        t.max = json_getn(e, "max", 100);
        const json_node *v = json_get(e, "value");
        if (v && v->type == JSON_ARRAY) {
            for (size_t k = 0; k < json_count(v) && k < t.count; k++)
                sim_tag_set(&t, (uint32_t)k, json_num_of(json_at(v, k), 0));
        } else if (v) {
            double x = v->type == JSON_BOOL ? (v->boolean ? 1 : 0) : json_num_of(v, 0);
            for (uint32_t k = 0; k < t.count; k++)
                sim_tag_set(&t, k, x);
        }
        tags->push_back(std::move(t));
    }
    return 0;
}

int sim_tag_set(sim_tag *t, uint32_t index, double v) {
    if (index >= t->count || !std::isfinite(v)) return -1;
    if (t->type == CIP_TYPE_BOOL) {
        if (t->array) {
            uint8_t &b = t->data[index / 8];
            uint8_t m = (uint8_t)(1u << (index % 8));
            b = v != 0 ? (uint8_t)(b | m) : (uint8_t)(b & ~m);
        } else {
            t->data[0] = v != 0 ? 1 : 0;
        }
        return 0;
    }
    int size = cip_type_size(t->type);
    uint8_t *p = t->data.data() + (size_t)index * size;
    auto clamp = [&](double lo, double hi) {
        double r = std::round(v);
        return r < lo ? lo : (r > hi ? hi : r);
    };
    switch (t->type) {
        case CIP_TYPE_SINT:
            p[0] = (uint8_t)(int8_t)clamp(-128, 127);
            break;
        case CIP_TYPE_USINT:
        case CIP_TYPE_BYTE:
            p[0] = (uint8_t)clamp(0, 255);
            break;
        case CIP_TYPE_INT:
            eip_put16(p, (uint16_t)(int16_t)clamp(-32768, 32767));
            break;
        case CIP_TYPE_UINT:
        case CIP_TYPE_WORD:
            eip_put16(p, (uint16_t)clamp(0, 65535));
            break;
        case CIP_TYPE_DINT:
            eip_put32(p, (uint32_t)(int32_t)clamp(-2147483648.0, 2147483647.0));
            break;
        case CIP_TYPE_UDINT:
        case CIP_TYPE_DWORD:
            eip_put32(p, (uint32_t)clamp(0, 4294967295.0));
            break;
        case CIP_TYPE_LINT:
            eip_put64(p, (uint64_t)(int64_t)clamp(-9.2233720368547748e18, 9.2233720368547748e18));
            break;
        case CIP_TYPE_ULINT:
        case CIP_TYPE_LWORD:
            eip_put64(p, (uint64_t)clamp(0, 1.8446744073709550e19));
            break;
        case CIP_TYPE_REAL: {
            float f = (float)v;
            uint32_t u;
            memcpy(&u, &f, 4);
            eip_put32(p, u);
            break;
        }
        case CIP_TYPE_LREAL: {
            uint64_t u;
            memcpy(&u, &v, 8);
            eip_put64(p, u);
            break;
        }
        default:
            return -1;
    }
    return 0;
}

double sim_tag_get(const sim_tag &t, uint32_t index) {
    if (index >= t.count) return 0;
    if (t.type == CIP_TYPE_BOOL) {
        if (t.array) return (t.data[index / 8] >> (index % 8)) & 1;
        return t.data[0] ? 1 : 0;
    }
    return cip_decode_numeric(t.data.data() + (size_t)index * cip_type_size(t.type), t.type);
}

void sim_signals_step(std::vector<sim_tag> *tags, double t, double dt) {
    static thread_local std::mt19937 rng(12345);
    for (auto &tag : *tags) {
        if (tag.signal == SIM_SIG_NONE) continue;
        double lo = tag.min, hi = tag.max, span = hi - lo;
        // Large arrays move only their first elements: enough for a demo.
        uint32_t n = tag.count < 1024 ? tag.count : 1024;
        for (uint32_t i = 0; i < n; i++) {
            double phase = t / tag.period_s + (double)i / (double)n;
            phase -= std::floor(phase);
            double v = lo;
            switch (tag.signal) {
                case SIM_SIG_RAMP:
                    v = lo + span * phase;
                    break;
                case SIM_SIG_SINE:
                    v = lo + span * (0.5 + 0.5 * std::sin(2 * M_PI * phase));
                    break;
                case SIM_SIG_SQUARE:
                    v = phase < 0.5 ? hi : lo;
                    break;
                case SIM_SIG_WALK: {
                    std::normal_distribution<double> step(0.0, span * 0.02 * std::sqrt(dt));
                    v = sim_tag_get(tag, i) + step(rng);
                    if (v < lo) v = lo;
                    if (v > hi) v = hi;
                    break;
                }
                default:
                    break;
            }
            sim_tag_set(&tag, i, v);
        }
    }
}

namespace {
std::string lower(const std::string &s) {
    std::string r = s;
    for (auto &c : r)
        c = (char)tolower((unsigned char)c);
    return r;
}
}  // namespace

int sim_index_tags(sim_state *st, std::string *err) {
    st->index.clear();
    for (size_t i = 0; i < st->tags.size(); i++) {
        if (!st->index.emplace(lower(st->tags[i].name), i).second) {
            *err = "tag " + st->tags[i].name + " defined twice";
            return -1;
        }
        // Symbol instances are sparse, as on a real controller.
        st->tags[i].instance = 0x0101 + 3 * (uint32_t)i;
    }
    return 0;
}

sim_tag *sim_find_tag(sim_state *st, const std::string &name) {
    auto it = st->index.find(lower(name));
    return it == st->index.end() ? nullptr : &st->tags[it->second];
}
