#pragma once
// Channel metadata of the runtime API: descriptions, names, units and the
// analog scaling, from channels.json or the legacy tables.

#include <cstddef>
#include <string>

struct srv_meta;

// Loads channels.json beside a_base, or else the legacy tables a_base and
// d_base (CSV, cp1251). Returns 0.
int meta_load(srv_meta *m, const char *a_base, const char *d_base);
// Display value of analog channel n from its controller value, and back.
// Channel 0 and channels without a scale pass unchanged.
double meta_to_phys(srv_meta *m, long n, double code);
double meta_to_code(srv_meta *m, long n, double phys);

// meta_to_phys of many values in place (values[i] of channel chans[i]) under
// one take of the metadata lock: a 500-tag poll locks once, not 500 times,
// and the lock is not held while the answer is formatted.
void meta_to_phys_many(srv_meta *m, const long *chans, double *values, size_t count);
// JSON-escaped description of a channel ("" when unknown).
std::string meta_an_desc(srv_meta *m, long n);
std::string meta_di_desc(srv_meta *m, long n);
