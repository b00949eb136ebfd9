// The poll pass over a large connection: every request is sized to the
// connection's real budget and the requests of a pass are spread over the
// open links, one in flight on each (a Logix controller serves a class-3
// connection one request at a time, but serves its connections side by side).

#include <algorithm>
#include <cstring>
#include <vector>

#include "cip.h"
#include "common/log.h"
#include "driver_internal.h"
#include "driver_poll.h"

namespace {

enum job_kind { JOB_ITEMS, JOB_ARRAY, JOB_BITS, JOB_GENERAL };

struct job {
    job_kind kind;
    int seg;  // array or general segment
    int off;  // first element (JOB_ARRAY, JOB_GENERAL) or first candidate (JOB_ITEMS)
    int cnt;  // elements or candidates
    int len;
    uint8_t req[CIP_CONN_SIZE_LARGE_MAX];
};

// Per-thread work space, grown once and reused: no allocation in a pass
// after the first.
struct pass_space {
    std::vector<job> jobs;
    int n_jobs = 0;
    std::vector<double> vals;  // LOGIX_MAX_SEGMENT_ELEMS per array segment
    bool failed[LOGIX_MAX_ARRAY_SEGMENTS] = {};
    bool want[LOGIX_MAX_ARRAY_SEGMENTS] = {};
    job *add() {
        if ((size_t)n_jobs >= jobs.size()) jobs.resize(jobs.size() + 16);
        return &jobs[(size_t)n_jobs++];
    }
};

thread_local pass_space t_space;

// Reply bytes of one Read Tag element answer inside a packet: offset word,
// reply header, type word, value.
size_t item_reply_bytes(const logix_item &it) {
    int size = cip_type_size(it.type);
    return 2 + 4 + 2 + (size_t)(size > 0 ? size : 8);
}

// Request bytes of one Read Tag inside a packet: offset word, service and
// path size, path, element count.
size_t item_request_bytes(const logix_item &it) {
    return 2 + 2 + (size_t)it.path_len + 2;
}

struct pass {
    eip_session *const *links;
    int n_links;
    logix_group *g;
    ShmHandle *db;
    int64_t ts;
    const int *cand;
    bool *refused;
    size_t budget;
};

// Elements of `size` bytes that one Read Tag reply carries.
int elems_per_reply(size_t budget, int size) {
    return std::max(1, (int)((budget - 4 - 2) / (size_t)size));
}

// Read Tag jobs over elements from..n-1 of an array whose path without the
// element is base; each asks for as many elements as one reply carries.
void add_read_jobs(pass &p, job_kind kind, int si, const uint8_t *base, int base_len, int lowest,
                   int from, int n, int size) {
    int per = elems_per_reply(p.budget, size);
    for (int off = from; off < n; off += per) {
        job *j = t_space.add();
        j->kind = kind;
        j->seg = si;
        j->off = off;
        j->cnt = std::min(per, n - off);
        uint8_t path[CIP_PATH_MAX];
        int plen = base_len < 0 ? -1 : base_len;
        if (plen >= 0) {
            memcpy(path, base, (size_t)base_len);
            plen =
                cip_path_append_elem(path, (size_t)base_len, sizeof path, (uint32_t)(lowest + off));
        }
        j->len = plen < 0 ? -1
                          : cip_build_read(path, (size_t)plen, (uint16_t)j->cnt, 0, 0, j->req,
                                           sizeof j->req);
    }
}

void add_array_jobs(pass &p, int si, int from, int n) {
    array_segment &seg = p.g->array_segments[si];
    uint8_t base[CIP_PATH_MAX];
    int blen = cip_build_tag_path(seg.name, 0, 0, base, sizeof base);
    add_read_jobs(p, JOB_ARRAY, si, base, blen, seg.lowest, from, n, cip_type_size(seg.type));
}

// A numeric segment whose type is still unknown: one fragmented read of the
// whole segment teaches the type and brings as many elements as fit; the
// rest become ordinary jobs. 0, or -1 on transport failure.
int probe_array(pass &p, int si, int n) {
    array_segment &seg = p.g->array_segments[si];
    double *vals = &t_space.vals[(size_t)si * LOGIX_MAX_SEGMENT_ELEMS];
    uint8_t path[CIP_PATH_MAX];
    uint8_t req[CIP_PATH_MAX + 16];
    int plen = cip_build_tag_path(seg.name, (uint32_t)seg.lowest, 1, path, sizeof path);
    int len =
        plen < 0 ? -1 : cip_build_read(path, (size_t)plen, (uint16_t)n, 1, 0, req, sizeof req);
    if (len < 0) {
        log_err("read_real: ім'я '%s' задовге", seg.name);
        t_space.failed[si] = true;
        return 0;
    }
    uint8_t reply[CIP_REPLY_MAX];
    size_t rn = sizeof reply;
    const uint8_t *d = nullptr;
    size_t dn = 0;
    int st = cip_send(p.links[0], req, (size_t)len, reply, &rn) != 0
                 ? -1
                 : cip_reply_data(reply, rn, &d, &dn);
    if (st < 0) {
        log_msg("[%s] З'єднання втрачено (масив %s)", p.g->name, seg.name);
        return -1;
    }
    uint16_t type = dn >= 2 ? eip_get16(d) : 0;
    if ((st == 0 || st == CIP_STATUS_PARTIAL_TRANSFER) && dn >= 2 && cip_type_size(type) == 0) {
        driver_array_unsupported(p.g, seg, type, p.db, p.ts);
        t_space.want[si] = false;
        return 0;
    }
    if ((st != 0 && st != CIP_STATUS_PARTIAL_TRANSFER) || dn < 2) {
        t_space.failed[si] = true;
        return 0;
    }
    seg.type = type;
    int size = cip_type_size(type);
    int got = std::min(n, (int)((dn - 2) / (size_t)size));
    for (int k = 0; k < got; ++k)
        vals[k] = cip_decode_numeric(d + 2 + (size_t)k * size, type);
    if (got < n && st == 0) {
        t_space.failed[si] = true;  // the controller answered fewer than asked
        return 0;
    }
    add_array_jobs(p, si, got, n);
    return 0;
}

void add_bits_job(pass &p, int si, int n) {
    const array_segment &seg = p.g->array_segments[si];
    uint32_t w0 = (uint32_t)seg.lowest / 32;
    uint32_t w_end = ((uint32_t)seg.lowest + (uint32_t)n + 31) / 32;
    job *j = t_space.add();
    j->kind = JOB_BITS;
    j->seg = si;
    j->off = 0;
    j->cnt = n;
    uint8_t path[CIP_PATH_MAX];
    int plen = cip_build_tag_path(seg.name, w0 * 32, w0 != 0, path, sizeof path);
    j->len = plen < 0 ? -1
                      : cip_build_read(path, (size_t)plen, (uint16_t)(w_end - w0), 0, 0, j->req,
                                       sizeof j->req);
}

void add_general_jobs(pass &p, int si) {
    general_segment &seg = p.g->general_segments[si];
    if (seg.type == 0 || seg.disabled) return;
    int size = cip_type_size(seg.type);
    if (size <= 0) return;
    int n = driver_general_width(p.g, seg);
    add_read_jobs(p, JOB_GENERAL, si, seg.base_path, seg.base_len, seg.lowest, 0, n, size);
}

void add_item_jobs(pass &p, int nc) {
    cip_multi_item mi[CIP_MSP_ITEMS_LARGE_MAX];
    for (int pos = 0; pos < nc;) {
        int k = driver_batch_size_large(p.g, p.cand, nc, pos, p.budget);
        job *j = t_space.add();
        j->kind = JOB_ITEMS;
        j->seg = -1;
        j->off = pos;
        j->cnt = k;
        for (int i = 0; i < k; ++i) {
            const logix_item &it = p.g->items[p.cand[pos + i]];
            mi[i] = cip_multi_item{it.path, (size_t)it.path_len, 1};
        }
        j->len = cip_build_multi_read(mi, k, j->req, sizeof j->req);
        pos += k;
    }
}

int finish_items(pass &p, const job &j, int st, const uint8_t *reply, size_t rn) {
    logix_group *g = p.g;
    static thread_local cip_multi_result mr[CIP_MSP_ITEMS_LARGE_MAX];
    int rc = st < 0 ? 1 : cip_parse_multi_read(reply, rn, j.cnt, mr);
    if (rc < 0) {
        log_msg("[%s] З'єднання втрачено (теги)", g->name);
        return -1;
    }
    for (int i = 0; i < j.cnt; ++i) {
        int idx = p.cand[j.off + i];
        if (rc == 1) {
            // The packet as a whole was refused: one read per tag instead.
            if (driver_read_single(p.links[0], g, idx, p.db, p.ts) < 0) return -1;
        } else if (mr[i].status == 0 && mr[i].size > 0) {
            logix_apply_with_duplicates(g, idx, mr[i].value, mr[i].type, p.db, p.ts);
        } else if (mr[i].status == 0x11) {
            // Its answer did not fit what was left of the packet (a type
            // larger than expected): ask for it alone, without latching it.
            if (driver_read_single(p.links[0], g, idx, p.db, p.ts) < 0) return -1;
        } else {
            driver_report_missing(g, g->items[idx], mr[i].status == 0 ? -1 : mr[i].status,
                                  mr[i].type);
            logix_fanout_bad(g, idx, p.db, p.ts);
        }
    }
    return 0;
}

void finish_array(pass &p, const job &j, int st, const uint8_t *d, size_t dn) {
    array_segment &seg = p.g->array_segments[j.seg];
    double *vals = &t_space.vals[(size_t)j.seg * LOGIX_MAX_SEGMENT_ELEMS];
    int size = cip_type_size(seg.type);
    int got = 0;
    if (st == 0 && dn >= 2 && eip_get16(d) == seg.type && size > 0) {
        got = std::min(j.cnt, (int)((dn - 2) / (size_t)size));
        for (int k = 0; k < got; ++k)
            vals[j.off + k] = cip_decode_numeric(d + 2 + (size_t)k * size, seg.type);
    }
    if (got < j.cnt) {
        t_space.failed[j.seg] = true;
        for (int k = got; k < j.cnt; ++k)
            vals[j.off + k] = 0;
    }
}

void finish_bits(pass &p, const job &j, int st, const uint8_t *d, size_t dn) {
    const array_segment &seg = p.g->array_segments[j.seg];
    uint8_t bits[LOGIX_MAX_SEGMENT_ELEMS] = {};
    int next = 0;
    bool ok = st == 0 && cip_bits_from_reply(d, dn, (uint32_t)seg.lowest, (uint32_t)seg.lowest / 32,
                                             j.cnt, bits, &next) == 0;
    driver_apply_bits(p.g, seg, bits, j.cnt, ok, p.db, p.ts);
    if (!ok) *p.refused = true;
}

void finish_general(pass &p, const job &j, int st, const uint8_t *d, size_t dn) {
    logix_group *g = p.g;
    general_segment &seg = g->general_segments[j.seg];
    if (seg.disabled) return;  // an earlier chunk of this pass was refused
    uint16_t type = dn >= 2 ? eip_get16(d) : 0;
    int size = cip_type_size(type);
    if (st != 0 || size == 0) {
        seg.disabled = true;
        log_err("[%s] ПЛК відхилив групове читання '%s' — повертаюсь до поодиноких читань", g->name,
                seg.name);
        for (int m = seg.first_member; m >= 0; m = g->items[m].next_member)
            logix_fanout_bad(g, m, p.db, p.ts);
        return;
    }
    seg.type = type;
    int got = std::min(j.cnt, (int)((dn - 2) / (size_t)size));
    for (int m = seg.first_member; m >= 0; m = g->items[m].next_member) {
        int idx = g->items[m].general_index;
        if (idx < j.off || idx >= j.off + j.cnt) continue;
        if (idx < j.off + got)
            logix_apply_with_duplicates(g, m, d + 2 + (size_t)(idx - j.off) * size, type, p.db,
                                        p.ts);
        else
            logix_fanout_bad(g, m, p.db, p.ts);  // the reply came back short
    }
}

const char *lost_what(job_kind k) {
    switch (k) {
        case JOB_ITEMS:
            return "теги";
        case JOB_GENERAL:
            return "груповий масив";
        default:
            return "масив";
    }
}

// Runs the jobs in waves of one request per link. -1 on transport failure.
int run_jobs(pass &p) {
    uint8_t reply[CIP_REPLY_MAX];
    for (int w = 0; w < t_space.n_jobs; w += p.n_links) {
        int k = std::min(p.n_links, t_space.n_jobs - w);
        bool sent[LOGIX_LINKS_MAX] = {};
        for (int i = 0; i < k; ++i) {
            const job &j = t_space.jobs[(size_t)(w + i)];
            if (j.len < 0) continue;
            if (eip_unitdata_send(p.links[i], j.req, (size_t)j.len) != 0) {
                log_msg("[%s] З'єднання втрачено (%s)", p.g->name, lost_what(j.kind));
                return -1;
            }
            sent[i] = true;
        }
        for (int i = 0; i < k; ++i) {
            const job &j = t_space.jobs[(size_t)(w + i)];
            size_t rn = sizeof reply;
            const uint8_t *d = nullptr;
            size_t dn = 0;
            int st = 1;  // a request that could not be built counts as refused
            if (sent[i]) {
                if (eip_unitdata_recv(p.links[i], reply, &rn) != 0 ||
                    (st = cip_reply_data(reply, rn, &d, &dn)) < 0) {
                    log_msg("[%s] З'єднання втрачено (%s)", p.g->name, lost_what(j.kind));
                    return -1;
                }
            }
            if (sent[i] && st > 0 && st != CIP_STATUS_PARTIAL_TRANSFER &&
                st != CIP_STATUS_EMBEDDED_SERVICE_ERROR)
                p.links[i]->errors++;
            switch (j.kind) {
                case JOB_ITEMS:
                    if (finish_items(p, j, sent[i] ? st : -1, reply, rn) < 0) return -1;
                    break;
                case JOB_ARRAY:
                    finish_array(p, j, st, d, dn);
                    break;
                case JOB_BITS:
                    finish_bits(p, j, st, d, dn);
                    break;
                case JOB_GENERAL:
                    finish_general(p, j, st, d, dn);
                    break;
            }
        }
    }
    return 0;
}

}  // namespace

int driver_batch_size_large(const logix_group *g, const int *cand, int count, int pos,
                            size_t budget) {
    // Packet request: service, path size, 4-byte path, service count.
    // Packet reply: reply header and service count.
    size_t req = 6 + 2, rep = 4 + 2;
    int k = 0;
    for (int i = pos; i < count && k < CIP_MSP_ITEMS_LARGE_MAX; ++i) {
        const logix_item &it = g->items[cand[i]];
        size_t rq = item_request_bytes(it), rp = item_reply_bytes(it);
        if (k > 0 && (req + rq > budget || rep + rp > budget)) break;
        req += rq;
        rep += rp;
        ++k;
    }
    return k;
}

int driver_poll_group_large(eip_session *const *links, int n_links, logix_group *g, ShmHandle *db,
                            int64_t ts, int *cand, bool *refused) {
    pass p{links,   std::max(1, std::min(n_links, LOGIX_LINKS_MAX)),
           g,       db,
           ts,      cand,
           refused, cip_conn_budget(links[0])};
    pass_space &sp = t_space;
    sp.n_jobs = 0;
    if (sp.vals.size() < (size_t)LOGIX_MAX_ARRAY_SEGMENTS * LOGIX_MAX_SEGMENT_ELEMS)
        sp.vals.assign((size_t)LOGIX_MAX_ARRAY_SEGMENTS * LOGIX_MAX_SEGMENT_ELEMS, 0.0);

    int width[LOGIX_MAX_ARRAY_SEGMENTS] = {};
    for (int s = 0; s < g->array_segment_count; ++s) {
        array_segment &seg = g->array_segments[s];
        sp.failed[s] = false;
        sp.want[s] = false;
        if (!seg.found) continue;
        int n = driver_segment_width(g, seg);
        width[s] = n;
        if (driver_probe_discrete(links[0], g, seg) < 0) return -1;
        // A request that cannot be built stays in the list and fails there
        // like a refused one.
        if (driver_is_bit_segment(seg)) {
            add_bits_job(p, s, n);
            continue;
        }
        sp.want[s] = true;
        if (seg.type == 0) {
            if (probe_array(p, s, n) < 0) return -1;
        } else {
            add_array_jobs(p, s, 0, n);
        }
    }
    for (int s = 0; s < g->general_segment_count; ++s)
        add_general_jobs(p, s);
    add_item_jobs(p, driver_item_candidates(g, cand));

    if (run_jobs(p) < 0) return -1;

    for (int s = 0; s < g->array_segment_count; ++s) {
        if (!sp.want[s]) continue;
        driver_apply_array(g, g->array_segments[s], &sp.vals[(size_t)s * LOGIX_MAX_SEGMENT_ELEMS],
                           width[s], sp.failed[s], db, ts);
        if (sp.failed[s]) *refused = true;
    }
    return 0;
}
