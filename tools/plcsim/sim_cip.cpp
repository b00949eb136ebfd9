// The controller's CIP side: Message Router, Connection Manager, tag
// services, symbol list, identity, controller attributes and clock.

#include <strings.h>

#include <cmath>
#include <cstring>

#include "plc_driver/cip.h"
#include "plcsim.h"

namespace {

// A decoded request path.
struct sim_path {
    std::string name;  // symbolic segments joined with '.'
    int n_elem = 0;
    uint32_t elem[3] = {0, 0, 0};
    bool member_after_elem = false;
    bool has_class = false, has_inst = false, has_attr = false;
    uint32_t cls = 0, inst = 0, attr = 0;
};

bool parse_path(const uint8_t *p, size_t len, sim_path *out) {
    size_t i = 0;
    while (i < len) {
        uint8_t seg = p[i];
        if (seg == 0x91) {
            if (i + 2 > len) return false;
            size_t n = p[i + 1];
            size_t adv = 2 + n + (n & 1);
            if (n == 0 || i + adv > len) return false;
            if (out->n_elem) out->member_after_elem = true;
            if (!out->name.empty()) out->name += '.';
            out->name.append(reinterpret_cast<const char *>(p + i + 2), n);
            i += adv;
            continue;
        }
        uint32_t v;
        size_t adv;
        uint8_t kind = seg & 0xFC;
        switch (seg & 0x03) {
            case 0:
                if (i + 2 > len) return false;
                v = p[i + 1];
                adv = 2;
                break;
            case 1:
                if (i + 4 > len) return false;
                v = eip_get16(p + i + 2);
                adv = 4;
                break;
            case 2:
                if (i + 6 > len) return false;
                v = eip_get32(p + i + 2);
                adv = 6;
                break;
            default:
                return false;
        }
        switch (kind) {
            case 0x28:
                if (out->name.empty() || out->n_elem >= 3) return false;
                out->elem[out->n_elem++] = v;
                break;
            case 0x20:
                out->has_class = true;
                out->cls = v;
                break;
            case 0x24:
                out->has_inst = true;
                out->inst = v;
                break;
            case 0x30:
                out->has_attr = true;
                out->attr = v;
                break;
            default:
                return false;
        }
        i += adv;
    }
    return true;
}

// Reply writer bounded by the transport's limit.
struct reply_w {
    uint8_t *p;
    size_t limit;
    size_t n = 0;
    bool overflow = false;
    bool room(size_t k) const { return n + k <= limit; }
    void u8(uint8_t v) {
        if (!room(1)) {
            overflow = true;
            return;
        }
        p[n++] = v;
    }
    void u16(uint16_t v) {
        u8((uint8_t)v);
        u8((uint8_t)(v >> 8));
    }
    void u32(uint32_t v) {
        u16((uint16_t)v);
        u16((uint16_t)(v >> 16));
    }
    void u64(uint64_t v) {
        u32((uint32_t)v);
        u32((uint32_t)(v >> 32));
    }
    void bytes(const void *s, size_t k) {
        if (!room(k)) {
            overflow = true;
            return;
        }
        memcpy(p + n, s, k);
        n += k;
    }
};

const char *service_name(uint8_t svc, bool cm) {
    switch (svc) {
        case 0x01:
            return "Get Attributes All";
        case 0x03:
            return "Get Attribute List";
        case 0x04:
            return "Set Attribute List";
        case 0x0A:
            return "Multiple Service Packet";
        case 0x0E:
            return "Get Attribute Single";
        case 0x4C:
            return "Read Tag";
        case 0x4D:
            return "Write Tag";
        case 0x4E:
            return cm ? "Forward Close" : "Read Modify Write Tag";
        case 0x52:
            return cm ? "Unconnected Send" : "Read Tag Fragmented";
        case 0x53:
            return "Write Tag Fragmented";
        case 0x54:
            return "Forward Open";
        case 0x55:
            return "Get Instance Attribute List";
        case 0x5B:
            return "Large Forward Open";
        default:
            return "service";
    }
}

struct ctx {
    sim_state *st;
    sim_client *cl;
    bool connected;
    int depth;             // inside a Multiple Service Packet
    size_t reserve = 0;    // bytes the packet's later services need at least
    bool in_ucmm = false;  // inside an Unconnected Send: no second one
};

// Error reply with an optional extended status word; logs the refusal.
size_t refuse(reply_w &w, uint8_t svc, uint8_t status, int ext, const char *what,
              const char *target) {
    w.n = 0;
    w.overflow = false;
    w.u8((uint8_t)(svc | 0x80));
    w.u8(0);
    w.u8(status);
    if (ext >= 0) {
        w.u8(1);
        w.u16((uint16_t)ext);
    } else {
        w.u8(0);
    }
    if (ext >= 0) {
        sim_log("refused %s '%s': status 0x%02X ext 0x%04X", what, target, status, ext);
    } else {
        sim_log("refused %s '%s': status 0x%02X", what, target, status);
    }
    return w.n;
}

void ok_header(reply_w &w, uint8_t svc, uint8_t status = 0) {
    w.n = 0;
    w.u8((uint8_t)(svc | 0x80));
    w.u8(0);
    w.u8(status);
    w.u8(0);
}

sim_tag *find_tag(sim_state *st, const std::string &name) {
    return sim_find_tag(st, name);
}

// Element addressed by the path, in wire elements; false when out of range.
bool wire_start(const sim_tag &t, const sim_path &p, uint32_t *start) {
    uint32_t e = p.n_elem ? p.elem[0] : 0;
    if (p.n_elem > 1) return false;
    if (!t.array) {
        if (e != 0) return false;
        *start = 0;
        return true;
    }
    if (e >= t.count) return false;
    *start = t.type == CIP_TYPE_BOOL ? e / 32 : e;
    return true;
}

bool value_fits(uint16_t type, const uint8_t *b) {
    if (type == CIP_TYPE_REAL) {
        uint32_t u = eip_get32(b);
        float f;
        memcpy(&f, &u, 4);
        return std::isfinite(f);
    }
    if (type == CIP_TYPE_LREAL) {
        uint64_t u = eip_get64(b);
        double d;
        memcpy(&d, &u, 8);
        return std::isfinite(d);
    }
    return true;
}

size_t handle(ctx &c, const uint8_t *req, size_t len, reply_w &w);

// Read Tag / Read Tag Fragmented.
size_t tag_read(ctx &c, uint8_t svc, const sim_path &p, const uint8_t *d, size_t dn, reply_w &w) {
    const char *what = service_name(svc, false);
    bool frag = svc == CIP_SVC_READ_TAG_FRAGMENTED;
    if (dn < (frag ? 6u : 2u))
        return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, p.name.c_str());
    uint16_t count = eip_get16(d);
    uint32_t offset = frag ? eip_get32(d + 2) : 0;
    if (c.st->faults.trace_reads.load()) {
        char elem[16] = "";
        if (p.n_elem) snprintf(elem, sizeof elem, "[%u]", p.elem[0]);
        sim_log("read %s%s count %u offset %u", p.name.c_str(), elem, count, offset);
    }
    if (int refused = c.st->faults.refuse_reads.load())
        return refuse(w, svc, (uint8_t)refused, -1, what, p.name.c_str());
    std::lock_guard<std::mutex> g(c.st->lock);
    sim_tag *t = find_tag(c.st, p.name);
    if (t == nullptr || p.member_after_elem)
        return refuse(w, svc, CIP_STATUS_PATH_SEGMENT_ERROR, -1, what, p.name.c_str());
    uint32_t start;
    if (!wire_start(*t, p, &start))
        return refuse(w, svc, CIP_STATUS_PATH_DESTINATION_UNKNOWN, -1, what, p.name.c_str());
    uint32_t wcount = sim_tag_wire_count(*t);
    if (count == 0 || (uint64_t)start + count > wcount)
        return refuse(w, svc, CIP_STATUS_GENERAL_ERROR, 0x2105, what, p.name.c_str());
    size_t size = (size_t)sim_tag_elem_size(*t);
    size_t total = (size_t)count * size;
    if (offset > total || (frag && offset % size != 0))
        return refuse(w, svc, CIP_STATUS_GENERAL_ERROR, 0x2105, what, p.name.c_str());
    // What does not fit is answered "partial transfer" with the whole
    // elements that do; the client fetches the rest with fragmented reads.
    // Inside a Multiple Service Packet the later services keep room for a
    // short answer each, unless that would leave this one no element.
    size_t avail = w.limit > 6 ? w.limit - 6 : 0;
    size_t room = avail / size * size;
    if (c.depth > 0 && avail > c.reserve && (avail - c.reserve) / size > 0)
        room = (avail - c.reserve) / size * size;
    size_t chunk = total - offset;
    bool partial = false;
    if (chunk > room) {
        chunk = room;
        partial = true;
    }
    ok_header(w, svc, partial ? CIP_STATUS_PARTIAL_TRANSFER : 0);
    w.u16(sim_tag_wire_type(*t));
    w.bytes(t->data.data() + (size_t)start * size + offset, chunk);
    return w.n;
}

// Write Tag / Write Tag Fragmented.
size_t tag_write(ctx &c, uint8_t svc, const sim_path &p, const uint8_t *d, size_t dn, reply_w &w) {
    const char *what = service_name(svc, false);
    bool frag = svc == CIP_SVC_WRITE_TAG_FRAGMENTED;
    size_t head = frag ? 8 : 4;
    if (dn < head) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, p.name.c_str());
    uint16_t type = eip_get16(d);
    uint16_t count = eip_get16(d + 2);
    uint32_t offset = frag ? eip_get32(d + 4) : 0;
    std::lock_guard<std::mutex> g(c.st->lock);
    sim_tag *t = find_tag(c.st, p.name);
    if (t == nullptr || p.member_after_elem)
        return refuse(w, svc, CIP_STATUS_PATH_SEGMENT_ERROR, -1, what, p.name.c_str());
    uint32_t start;
    if (!wire_start(*t, p, &start))
        return refuse(w, svc, CIP_STATUS_PATH_DESTINATION_UNKNOWN, -1, what, p.name.c_str());
    if (type != sim_tag_wire_type(*t))
        return refuse(w, svc, CIP_STATUS_GENERAL_ERROR, 0x2107, what, p.name.c_str());
    uint32_t wcount = sim_tag_wire_count(*t);
    if (count == 0 || (uint64_t)start + count > wcount)
        return refuse(w, svc, CIP_STATUS_GENERAL_ERROR, 0x2105, what, p.name.c_str());
    size_t size = (size_t)sim_tag_elem_size(*t);
    size_t total = (size_t)count * size;
    size_t given = dn - head;
    if (offset > total || (frag && offset % size != 0))
        return refuse(w, svc, CIP_STATUS_GENERAL_ERROR, 0x2105, what, p.name.c_str());
    if (!frag && given < total)
        return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, p.name.c_str());
    if (given > total - offset || (frag && given % size != 0))
        return refuse(
            w, svc, given > total - offset ? CIP_STATUS_TOO_MUCH_DATA : CIP_STATUS_NOT_ENOUGH_DATA,
            -1, what, p.name.c_str());
    for (size_t k = 0; k < given; k += size)
        if (!value_fits(type, d + head + k))
            return refuse(w, svc, CIP_STATUS_INVALID_ATTRIBUTE_VALUE, -1, what, p.name.c_str());
    uint8_t *dst = t->data.data() + (size_t)start * size + offset;
    if (t->type == CIP_TYPE_BOOL && !t->array) {
        dst[0] = d[head] ? 1 : 0;
    } else {
        memcpy(dst, d + head, given);
    }
    ok_header(w, svc);
    return w.n;
}

size_t tag_rmw(ctx &c, uint8_t svc, const sim_path &p, const uint8_t *d, size_t dn, reply_w &w) {
    const char *what = service_name(svc, false);
    if (dn < 2) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, p.name.c_str());
    size_t m = eip_get16(d);
    if (m != 1 && m != 2 && m != 4 && m != 8)
        return refuse(w, svc, CIP_STATUS_INVALID_PARAMETER, -1, what, p.name.c_str());
    if (dn < 2 + 2 * m) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, p.name.c_str());
    std::lock_guard<std::mutex> g(c.st->lock);
    sim_tag *t = find_tag(c.st, p.name);
    if (t == nullptr || p.member_after_elem)
        return refuse(w, svc, CIP_STATUS_PATH_SEGMENT_ERROR, -1, what, p.name.c_str());
    uint32_t start;
    if (!wire_start(*t, p, &start))
        return refuse(w, svc, CIP_STATUS_PATH_DESTINATION_UNKNOWN, -1, what, p.name.c_str());
    size_t size = (size_t)sim_tag_elem_size(*t);
    uint16_t type = sim_tag_wire_type(*t);
    if (m > size || type == CIP_TYPE_REAL || type == CIP_TYPE_LREAL)
        return refuse(w, svc, CIP_STATUS_GENERAL_ERROR, 0x2107, what, p.name.c_str());
    uint8_t *dst = t->data.data() + (size_t)start * size;
    for (size_t k = 0; k < m; k++)
        dst[k] = (uint8_t)((dst[k] | d[2 + k]) & d[2 + m + k]);
    if (t->type == CIP_TYPE_BOOL && !t->array) dst[0] = dst[0] ? 1 : 0;
    ok_header(w, svc);
    return w.n;
}

// Room kept per later service of a packet: status header, type and one
// 32-bit element.
constexpr size_t kShortReply = 10;

size_t multiple_service(ctx &c, uint8_t svc, const uint8_t *d, size_t dn, reply_w &w) {
    const char *what = service_name(svc, false);
    if (c.depth > 0) return refuse(w, svc, CIP_STATUS_SERVICE_NOT_SUPPORTED, -1, what, "nested");
    if (int refused = c.st->faults.refuse_multi.load())
        return refuse(w, svc, (uint8_t)refused, -1, what, "Message Router");
    if (dn < 2) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, "Message Router");
    size_t n = eip_get16(d);
    if (dn < 2 + 2 * n)
        return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, "Message Router");
    size_t head = 4 + 2 + 2 * n;
    if (head > w.limit) return refuse(w, svc, 0x11, -1, what, "Message Router");
    ok_header(w, svc);
    w.u16((uint16_t)n);
    size_t offs_at = w.n;
    for (size_t i = 0; i < n; i++)
        w.u16(0);
    bool any_error = false;
    c.depth++;
    for (size_t i = 0; i < n; i++) {
        size_t off = eip_get16(d + 2 + 2 * i);
        size_t end = i + 1 < n ? eip_get16(d + 2 + 2 * (i + 1)) : dn;
        eip_put16(w.p + offs_at + 2 * i, (uint16_t)(w.n - (offs_at - 2)));
        reply_w sub{w.p + w.n, w.limit - w.n};
        c.reserve = kShortReply * (n - i - 1);
        size_t r;
        if (off < 2 + 2 * n || off >= dn || end > dn || end <= off) {
            r = refuse(sub, 0, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, "embedded request");
        } else {
            r = handle(c, d + off, end - off, sub);
        }
        if (sub.overflow || r < 4) {
            // The embedded reply does not fit into what is left of this one.
            uint8_t es = off < dn ? d[off] : 0;
            reply_w small{w.p + w.n, w.limit - w.n};
            ok_header(small, es, 0x11);
            r = small.overflow ? 0 : small.n;
            if (r == 0) {
                c.depth--;
                return refuse(w, svc, 0x11, -1, what, "Message Router");
            }
        }
        if (w.p[w.n + 2] != 0) any_error = true;
        w.n += r;
    }
    c.depth--;
    c.reserve = 0;
    if (any_error) w.p[2] = CIP_STATUS_EMBEDDED_SERVICE_ERROR;
    return w.n;
}

size_t identity(ctx &c, uint8_t svc, const sim_path &p, reply_w &w) {
    const sim_config &cfg = c.st->cfg;
    if (p.inst != 1)
        return refuse(w, svc, CIP_STATUS_PATH_DESTINATION_UNKNOWN, -1, "Identity", "instance");
    ok_header(w, svc);
    int a = svc == CIP_SVC_GET_ATTRIBUTE_SINGLE ? (int)p.attr : 0;
    if (a == 0 || a == 1) w.u16(1);     // vendor
    if (a == 0 || a == 2) w.u16(0x0E);  // programmable logic controller
    if (a == 0 || a == 3) w.u16(cfg.product_code);
    if (a == 0 || a == 4) {
        w.u8(cfg.rev_major);
        w.u8(cfg.rev_minor);
    }
    if (a == 0 || a == 5) w.u16(cfg.status);
    if (a == 0 || a == 6) w.u32(cfg.serial);
    if (a == 0 || a == 7) {
        size_t n = cfg.product.size() > 32 ? 32 : cfg.product.size();
        w.u8((uint8_t)n);
        w.bytes(cfg.product.data(), n);
    }
    if (a > 7)
        return refuse(w, svc, CIP_STATUS_ATTRIBUTE_NOT_SUPPORTED, -1, "Identity", "attribute");
    return w.n;
}

// Get/Set Attribute List on the controller-attribute and clock classes.
size_t attribute_list(ctx &c, uint8_t svc, const sim_path &p, const uint8_t *d, size_t dn,
                      reply_w &w) {
    const char *what = service_name(svc, false);
    const char *obj = p.cls == 0xAC ? "controller attributes" : "clock";
    if (p.inst != 1) return refuse(w, svc, CIP_STATUS_PATH_DESTINATION_UNKNOWN, -1, what, obj);
    if (dn < 2) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, obj);
    size_t n = eip_get16(d);
    size_t pos = 2;
    ok_header(w, svc);
    w.u16((uint16_t)n);
    bool failed = false;
    std::lock_guard<std::mutex> g(c.st->lock);
    for (size_t i = 0; i < n; i++) {
        if (pos + 2 > dn) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, obj);
        uint16_t id = eip_get16(d + pos);
        pos += 2;
        w.u16(id);
        if (svc == CIP_SVC_SET_ATTRIBUTE_LIST) {
            if (p.cls == 0x8B && (id == 6 || id == 11)) {
                if (pos + 8 > dn) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, obj);
                int64_t v = (int64_t)eip_get64(d + pos);
                pos += 8;
                sim_faults &f = c.st->faults;
                if (f.clock_sets_left.load() == 0) {
                    // As a controller whose clock is locked against changes.
                    w.u16(0x10);  // device state conflict
                    failed = true;
                    sim_log("clock set to %lld us refused", (long long)v);
                    continue;
                }
                if (f.clock_sets_left.load() > 0) f.clock_sets_left--;
                int skew = f.clock_skew_ms.load();
                c.st->clock_offset_us = v + (int64_t)skew * 1000 - sim_now_us();
                sim_log("clock set to %lld us (lands %+d ms off)", (long long)v, skew);
                w.u16(0);
            } else {
                // Unknown attribute: its value length is unknown, so the rest
                // of the list cannot be parsed.
                w.u16(CIP_STATUS_ATTRIBUTE_NOT_SUPPORTED);
                failed = true;
                break;
            }
            continue;
        }
        uint32_t ch = c.st->attr_change;
        if (p.cls == 0xAC && (id == 1 || id == 2)) {
            w.u16(0);
            w.u16(id == 1 ? (uint16_t)1 : (uint16_t)(ch & 0xFFFF));
        } else if (p.cls == 0xAC && (id == 3 || id == 4 || id == 10)) {
            w.u16(0);
            w.u32(id == 3 ? ch : id == 4 ? ch * 7919u : 0x5A5A0000u ^ ch);
        } else if (p.cls == 0x8B && (id == 6 || id == 11)) {
            w.u16(0);
            w.u64((uint64_t)(sim_now_us() + c.st->clock_offset_us));
        } else {
            w.u16(CIP_STATUS_ATTRIBUTE_NOT_SUPPORTED);
            failed = true;
        }
    }
    if (failed) {
        w.p[2] = CIP_STATUS_ATTRIBUTE_LIST_ERROR;
        sim_log("refused %s '%s': status 0x%02X", what, obj, CIP_STATUS_ATTRIBUTE_LIST_ERROR);
    }
    return w.n;
}

size_t symbol_list(ctx &c, uint8_t svc, const sim_path &p, const uint8_t *d, size_t dn,
                   reply_w &w) {
    const char *what = service_name(svc, false);
    if (dn < 2) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, "symbols");
    size_t na = eip_get16(d);
    if (na == 0 || na > 8 || dn < 2 + 2 * na)
        return refuse(w, svc, CIP_STATUS_INVALID_PARAMETER, -1, what, "symbols");
    uint16_t attrs[8];
    for (size_t i = 0; i < na; i++) {
        attrs[i] = eip_get16(d + 2 + 2 * i);
        if (attrs[i] != 1 && attrs[i] != 2 && attrs[i] != 7 && attrs[i] != 8)
            return refuse(w, svc, CIP_STATUS_ATTRIBUTE_NOT_SUPPORTED, -1, what, "symbols");
        if (attrs[i] == 2 && c.st->faults.refuse_symbol_types.load())
            return refuse(w, svc, CIP_STATUS_ATTRIBUTE_NOT_SUPPORTED, -1, what, "symbol types");
    }
    std::lock_guard<std::mutex> g(c.st->lock);
    ok_header(w, svc);
    int entries = 0;
    bool more = false;
    for (const auto &t : c.st->tags) {  // kept in instance order
        if (t.instance < p.inst) continue;
        size_t need = 4;
        for (size_t i = 0; i < na; i++)
            need += attrs[i] == 1 ? 2 + t.name.size() : attrs[i] == 8 ? 12 : 2;
        if (entries >= c.st->cfg.page_size || !w.room(need)) {
            more = true;
            break;
        }
        w.u32(t.instance);
        for (size_t i = 0; i < na; i++) {
            switch (attrs[i]) {
                case 1:
                    w.u16((uint16_t)t.name.size());
                    w.bytes(t.name.data(), t.name.size());
                    break;
                case 2:
                    w.u16(sim_tag_symbol_type(t));
                    break;
                case 7:
                    w.u16((uint16_t)sim_tag_elem_size(t));
                    break;
                case 8:
                    w.u32(t.array ? sim_tag_wire_count(t) : 0);
                    w.u32(0);
                    w.u32(0);
                    break;
            }
        }
        entries++;
    }
    if (more) w.p[2] = CIP_STATUS_PARTIAL_TRANSFER;
    return w.n;
}

// Forward Open / Large Forward Open.
size_t forward_open(ctx &c, uint8_t svc, const uint8_t *d, size_t dn, reply_w &w) {
    const char *what = service_name(svc, true);
    bool large = svc == CIP_SVC_LARGE_FORWARD_OPEN;
    size_t fixed = large ? 40 : 36;
    if (dn < fixed)
        return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, "Connection Manager");
    uint32_t to_id = eip_get32(d + 6);
    uint16_t serial = eip_get16(d + 10);
    uint16_t vendor = eip_get16(d + 12);
    uint32_t orig = eip_get32(d + 14);
    uint32_t ot_rpi = eip_get32(d + 22);
    uint32_t ot_params = large ? eip_get32(d + 26) : eip_get16(d + 26);
    uint32_t to_rpi = eip_get32(d + (large ? 30 : 28));
    uint32_t to_params = large ? eip_get32(d + 34) : eip_get16(d + 32);
    uint8_t transport = d[large ? 38 : 34];
    size_t ps = d[large ? 39 : 35];
    const uint8_t *path = d + fixed;

    auto fail = [&](int ext) {
        ok_header(w, svc, CIP_STATUS_CONNECTION_FAILURE);
        w.p[3] = 1;
        w.u16((uint16_t)ext);
        w.u16(serial);
        w.u16(vendor);
        w.u32(orig);
        w.u8(0);  // remaining path size
        w.u8(0);
        sim_log("refused %s: status 0x01 ext 0x%04X", what, ext);
        return w.n;
    };
    if (fixed + 2 * ps > dn) return fail(0x0315);
    if (c.st->faults.refuse_forward_open.load()) return fail(0x0113);
    if (large && c.st->faults.refuse_large_forward_open.load())
        return refuse(w, svc, CIP_STATUS_SERVICE_NOT_SUPPORTED, -1, what, "Connection Manager");
    if ((transport & 0x0F) != 3) return fail(0x0103);
    // Connection path: optional electronic key, port 1 with our slot, then
    // the Message Router.
    size_t i = 0, plen = 2 * ps;
    if (i + 1 < plen && path[i] == 0x34) i += 10;
    if (i + 2 > plen || path[i] != 0x01) return fail(0x0315);
    if (path[i + 1] != c.st->cfg.slot) return fail(0x0312);
    i += 2;
    sim_path mr;
    if (i > plen || !parse_path(path + i, plen - i, &mr) || mr.cls != 0x02 || mr.inst != 1)
        return fail(0x0315);
    uint32_t size = large ? (to_params & 0xFFFF) : (to_params & 0x1FF);
    uint32_t ot_size = large ? (ot_params & 0xFFFF) : (ot_params & 0x1FF);
    if (size < 32 || ot_size < 32 || size > 4002 || ot_size > 4002) return fail(0x0109);
    for (const auto &k : c.cl->conns)
        if (k.serial == serial && k.vendor == vendor && k.orig_serial == orig) return fail(0x0100);
    if (c.cl->conns.size() >= 32) return fail(0x0113);

    uint32_t ot_id = 0x41000000u + c.st->next_conn_id.fetch_add(1) * 0x101u;
    bool zero = c.st->faults.zero_conn_ids.load() != 0;
    ok_header(w, svc);
    w.u32(zero ? 0 : ot_id);
    w.u32(zero ? 0 : to_id);
    w.u16(serial);
    w.u16(vendor);
    w.u32(orig);
    w.u32(ot_rpi);
    w.u32(to_rpi);
    w.u8(0);
    w.u8(0);
    if (!zero) {
        c.cl->conns.push_back(sim_conn{ot_id, to_id, serial, vendor, orig, size, ot_size, -1, {}});
        sim_log("%s: connection 0x%08X opened (size %u)", c.cl->peer.c_str(), ot_id, size);
    } else {
        sim_log("%s: Forward Open answered with both connection ids 0", c.cl->peer.c_str());
    }
    return w.n;
}

size_t forward_close(ctx &c, uint8_t svc, const uint8_t *d, size_t dn, reply_w &w) {
    const char *what = service_name(svc, true);
    if (dn < 12) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, "Connection Manager");
    uint16_t serial = eip_get16(d + 2);
    uint16_t vendor = eip_get16(d + 4);
    uint32_t orig = eip_get32(d + 6);
    for (size_t i = 0; i < c.cl->conns.size(); i++) {
        const sim_conn &k = c.cl->conns[i];
        if (k.serial == serial && k.vendor == vendor && k.orig_serial == orig) {
            sim_log("%s: connection 0x%08X closed", c.cl->peer.c_str(), k.ot_id);
            c.cl->conns.erase(c.cl->conns.begin() + (long)i);
            ok_header(w, svc);
            w.u16(serial);
            w.u16(vendor);
            w.u32(orig);
            w.u8(0);
            w.u8(0);
            return w.n;
        }
    }
    ok_header(w, svc, CIP_STATUS_CONNECTION_FAILURE);
    w.p[3] = 1;
    w.u16(0x0107);
    w.u16(serial);
    w.u16(vendor);
    w.u32(orig);
    w.u8(0);
    w.u8(0);
    sim_log("refused %s: status 0x01 ext 0x0107 (no such connection)", what);
    return w.n;
}

size_t unconnected_send(ctx &c, uint8_t svc, const uint8_t *d, size_t dn, reply_w &w) {
    const char *what = service_name(svc, true);
    if (dn < 4) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, "Connection Manager");
    size_t mlen = eip_get16(d + 2);
    size_t pos = 4 + mlen + (mlen & 1);
    if (pos + 2 > dn) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, "route");
    size_t rsize = 2 * (size_t)d[pos];
    const uint8_t *route = d + pos + 2;
    if (pos + 2 + rsize > dn) return refuse(w, svc, CIP_STATUS_NOT_ENOUGH_DATA, -1, what, "route");
    if (rsize > 0) {
        if (route[0] != 0x01 || route[1] != c.st->cfg.slot || rsize != 2) {
            refuse(w, svc, CIP_STATUS_CONNECTION_FAILURE, 0x0312, what, "route to another slot");
            w.u8((uint8_t)(rsize / 2));  // remaining path size
            w.u8(0);
            return w.n;
        }
    }
    if (mlen > CIP_UCMM_MAX + 6)
        return refuse(w, svc, CIP_STATUS_TOO_MUCH_DATA, -1, what, "embedded request");
    w.n = 0;
    c.in_ucmm = true;
    size_t r = handle(c, d + 4, mlen, w);
    c.in_ucmm = false;
    return r;
}

size_t handle(ctx &c, const uint8_t *req, size_t len, reply_w &w) {
    if (len < 2) return refuse(w, len ? req[0] : 0, CIP_STATUS_NOT_ENOUGH_DATA, -1, "request", "");
    uint8_t svc = req[0] & 0x7F;
    size_t plen = 2 * (size_t)req[1];
    if (2 + plen > len) return refuse(w, svc, CIP_STATUS_PATH_SEGMENT_ERROR, -1, "request", "path");
    sim_path p;
    if (!parse_path(req + 2, plen, &p))
        return refuse(w, svc, CIP_STATUS_PATH_SEGMENT_ERROR, -1, service_name(svc, false), "path");
    const uint8_t *d = req + 2 + plen;
    size_t dn = len - 2 - plen;

    if (!p.name.empty()) {
        switch (svc) {
            case CIP_SVC_READ_TAG:
            case CIP_SVC_READ_TAG_FRAGMENTED:
                return tag_read(c, svc, p, d, dn, w);
            case CIP_SVC_WRITE_TAG:
            case CIP_SVC_WRITE_TAG_FRAGMENTED:
                return tag_write(c, svc, p, d, dn, w);
            case CIP_SVC_READ_MODIFY_WRITE:
                return tag_rmw(c, svc, p, d, dn, w);
            default:
                return refuse(w, svc, CIP_STATUS_SERVICE_NOT_SUPPORTED, -1, "service",
                              p.name.c_str());
        }
    }
    if (!p.has_class)
        return refuse(w, svc, CIP_STATUS_PATH_SEGMENT_ERROR, -1, service_name(svc, false), "path");
    switch (p.cls) {
        case 0x01:
            if (svc == CIP_SVC_GET_ATTRIBUTES_ALL ||
                (svc == CIP_SVC_GET_ATTRIBUTE_SINGLE && p.has_attr))
                return identity(c, svc, p, w);
            break;
        case 0x02:
            if (svc == CIP_SVC_MULTIPLE_SERVICE && p.inst == 1)
                return multiple_service(c, svc, d, dn, w);
            break;
        case 0x06:
            if (p.inst != 1) break;
            if (svc == CIP_SVC_FORWARD_OPEN || svc == CIP_SVC_LARGE_FORWARD_OPEN)
                return forward_open(c, svc, d, dn, w);
            if (svc == CIP_SVC_FORWARD_CLOSE) return forward_close(c, svc, d, dn, w);
            if (svc == CIP_SVC_UNCONNECTED_SEND && !c.connected && c.depth == 0 && !c.in_ucmm)
                return unconnected_send(c, svc, d, dn, w);
            break;
        case 0x64:
            if (svc == CIP_SVC_GET_ATTRIBUTES_ALL) {
                if (p.inst != 1)
                    return refuse(w, svc, CIP_STATUS_PATH_DESTINATION_UNKNOWN, -1, "program",
                                  "instance");
                ok_header(w, svc);
                const std::string &n = c.st->cfg.name;
                w.u16((uint16_t)n.size());
                w.bytes(n.data(), n.size());
                return w.n;
            }
            break;
        case 0x6B:
            if (svc == CIP_SVC_GET_INSTANCE_ATTRIBUTE_LIST) return symbol_list(c, svc, p, d, dn, w);
            break;
        case 0x8B:
            if (svc == CIP_SVC_SET_ATTRIBUTE_LIST) return attribute_list(c, svc, p, d, dn, w);
            [[fallthrough]];
        case 0xAC:
            if (svc == CIP_SVC_GET_ATTRIBUTE_LIST) return attribute_list(c, svc, p, d, dn, w);
            break;
        default: {
            char obj[32];
            snprintf(obj, sizeof obj, "class 0x%02X", p.cls);
            return refuse(w, svc, CIP_STATUS_PATH_DESTINATION_UNKNOWN, -1, service_name(svc, false),
                          obj);
        }
    }
    char obj[32];
    snprintf(obj, sizeof obj, "class 0x%02X", p.cls);
    return refuse(w, svc, CIP_STATUS_SERVICE_NOT_SUPPORTED, -1, service_name(svc, p.cls == 6), obj);
}

}  // namespace

size_t sim_cip_handle(sim_state *st, sim_client *cl, const uint8_t *req, size_t len, uint8_t *reply,
                      size_t limit, bool connected) {
    ctx c{st, cl, connected, 0};
    reply_w w{reply, limit};
    size_t n = handle(c, req, len, w);
    if (w.overflow) {
        // Only a reply that is cut off can overflow: answer the partial status.
        n = refuse(w, len ? req[0] : 0, 0x11, -1, "request", "reply too large");
    }
    return n;
}
