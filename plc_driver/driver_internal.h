#pragma once
// Pieces of the poll loop shared by the classic pass and the pass over a
// large connection (driver_large.cpp).

#include <cstdint>

#include "common/shm.h"
#include "driver_config.h"
#include "eip.h"

void driver_store_value(ShmHandle *db, const logix_item &it, double v, uint8_t q, int64_t ts);
void driver_store_vtype(ShmHandle *db, const logix_item &it, uint8_t code);
// Fresh data arrived on this thread's connection (watchdog).
void driver_mark_fresh();

// Elements of the segment that are polled (at most 600; the first call past
// that logs the cut once).
int driver_segment_width(logix_group *g, array_segment &seg);
int driver_general_width(logix_group *g, general_segment &seg);
// Teaches a discrete segment of unknown type its type with a one-element
// read. 0, or -1 on transport failure.
int driver_probe_discrete(eip_session *s, logix_group *g, array_segment &seg);
// Discrete segment read as bits (BOOL array, or type still unknown).
bool driver_is_bit_segment(const array_segment &seg);
void driver_apply_bits(logix_group *g, const array_segment &seg, const uint8_t *bits, int n,
                       bool ok, ShmHandle *db, int64_t ts);
void driver_apply_array(logix_group *g, const array_segment &seg, const double *vals, int n,
                        bool failed, ShmHandle *db, int64_t ts);
// The segment's type cannot be decoded: stop polling it until reconnect.
void driver_array_unsupported(logix_group *g, array_segment &seg, uint16_t type, ShmHandle *db,
                              int64_t ts);

// Latches the item as not found and logs it once.
void driver_report_missing(logix_group *g, logix_item &it, int status, uint16_t type);
// Items read one by one or in packets this pass, into cand; their count.
int driver_item_candidates(const logix_group *g, int *cand);
// Read Tag of one item: 0, 1 refused (item bad, latched), -1 transport failure.
int driver_read_single(eip_session *s, logix_group *g, int idx, ShmHandle *db, int64_t ts);

// Rounds half away from zero; false when the value is not finite or does not
// fit a 64-bit integer.
bool driver_round_away(double v, int64_t *out);
// Serves the write slots of the group's channels. 0, or -1 after a transport
// failure (the caller reconnects; requests not yet taken stay pending).
int driver_process_write_queue(eip_session *s, logix_group *g, ShmHandle *db);

// Reads the group's arrays, group reads and single tags over a large
// connection: requests sized to the connection's budget and spread over the
// open links (links[0] is the main session), one request in flight on each.
// -1 on transport failure; *refused when an array read was refused.
int driver_poll_group_large(eip_session *const *links, int n_links, logix_group *g, ShmHandle *db,
                            int64_t ts, int *cand, bool *refused);

// Multiple Service Packet batch for a connection of `budget` CIP bytes:
// the number of candidates from pos that fit both the request and the reply
// (types not yet known count as 8 bytes).
int driver_batch_size_large(const logix_group *g, const int *cand, int count, int pos,
                            size_t budget);
