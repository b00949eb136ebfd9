#pragma once
// Channel metadata of the runtime API: descriptions, names, units and the
// analog scaling, from channels.json or the legacy tables.

#include <mutex>
#include <string>

struct srv_meta;

// Loads channels.json beside a_base, or else the legacy tables a_base and
// d_base (CSV, cp1251). Returns 0.
int meta_load(srv_meta *m, const char *a_base, const char *d_base);
// Display value of analog channel n from its controller value, and back.
// Channel 0 and channels without a scale pass unchanged.
double meta_to_phys(srv_meta *m, long n, double code);
double meta_to_code(srv_meta *m, long n, double phys);

// The metadata lock held across a request that converts many values, so a
// 500-tag poll takes it once instead of 500 times. Results equal
// meta_to_phys's. Nothing else of srv_meta may be called while it lives.
class meta_batch {
  public:
    explicit meta_batch(srv_meta *m);
    double to_phys(long n, double code) const;

  private:
    srv_meta *m_;
    std::lock_guard<std::mutex> lk_;
};
// JSON-escaped description of a channel ("" when unknown).
std::string meta_an_desc(srv_meta *m, long n);
std::string meta_di_desc(srv_meta *m, long n);
