#pragma once
// Channel registry (channels.json): names, descriptions, units, scales and
// plant placement of the numbered analog (A) and discrete (D) channels.

#include <stddef.h>
#include <stdint.h>

#include <string>

constexpr int CHANNELS_MAX_NUMBER = 32767;

struct channel_rec {
    int32_t used;  // 1 when loaded or set; 0 = no such channel
    char name[64];
    char desc[192];
    char unit[24];
    double code_min, code_max;  // raw range in controller units (analog)
    double el_min, el_max;      // electrical range, descriptive only
    char el_unit[8];
    double phys_min, phys_max;
    int32_t has_scale;  // code_max != code_min (NaN counts as different); analog
    char equipment[96];
    char loop[64];
    char device_type[48];
    char area[64];
    char plc_tag[128];
    char group[48];
};

// Owns both arrays (index = channel number, 0 unused). Releases them when
// destroyed; movable, not copyable.
struct channels_registry {
    channel_rec *an = nullptr;
    int an_cap = 0;
    channel_rec *di = nullptr;
    int di_cap = 0;
    int an_max = 0;  // highest analog number loaded
    int di_max = 0;  // highest discrete number loaded

    channels_registry() = default;
    channels_registry(const channels_registry &) = delete;
    channels_registry &operator=(const channels_registry &) = delete;
    channels_registry(channels_registry &&o) noexcept;
    channels_registry &operator=(channels_registry &&o) noexcept;
    ~channels_registry();
};

// 0, or -1 when the file cannot be read or is not valid JSON (the registry
// is then left unchanged). On success the registry is cleared and refilled.
int channels_load(channels_registry *reg, const char *path);
// Replaces path atomically with the registry's text; 0 or -1.
int channels_save(const channels_registry *reg, const char *path);
// The exact text channels_save writes.
std::string channels_format(const channels_registry *reg);
// Frees both arrays and zeroes the registry.
void channels_clear(channels_registry *reg);

// Record for number n, growing the array as needed; null when n is outside
// 1..32767 or memory runs out. The caller sets `used`.
channel_rec *channels_an_slot(channels_registry *reg, int n);
channel_rec *channels_di_slot(channels_registry *reg, int n);

// 1 when 1 <= n < capacity and the record is used, else 0.
int channels_has_an(const channels_registry *reg, int n);
int channels_has_di(const channels_registry *reg, int n);

// Used record for number n or null (never grows the arrays).
const channel_rec *channels_an(const channels_registry *reg, int n);
const channel_rec *channels_di(const channels_registry *reg, int n);

// Recomputes has_scale from code_min/code_max (NaN counts as different).
void channels_update_scale(channel_rec *rec);

// Controller units -> physical units. Values pass unchanged for a null
// record, a record without has_scale, or a zero code span.
double channels_to_phys(const channel_rec *rec, double code);
// The same on a bare scale (for tables that keep their own ranges).
double channels_scale_to_phys(double code, double code_min, double code_max, double phys_min,
                              double phys_max);
// Physical units -> controller units (the inverse). Values also pass
// unchanged when phys_max == phys_min, where no inverse exists.
double channels_to_code(const channel_rec *rec, double phys);
