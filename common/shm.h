#pragma once

// The real-time database: one POSIX shared-memory object mapped by every
// program of the stack. The layout is a binary format shared by separately
// built programs, so every offset below is fixed.
//
//   header 120 | analog records 24*an | discrete records 16*di |
//   analog write slots 16*an | discrete write slots 16*di | PLC blocks 128*plc |
//   analog value types 1*an | discrete value types 1*di
//
// Nothing is locked. Fields are naturally aligned and written with single
// stores; write slots and clock counters publish with release/acquire.

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/vtype.h"

constexpr uint32_t SHM_MAGIC = 0xA11CB501u;
constexpr uint32_t SHM_VERSION = 6;
// Bytes 0..7 (magic, version) read as one little-endian 64-bit word.
constexpr uint64_t SHM_MAGIC_VERSION = (uint64_t(SHM_VERSION) << 32) | SHM_MAGIC;
constexpr const char *SHM_DEFAULT_NAME = "/logix_drv";
constexpr size_t SHM_NAME_MAX = 127;  // characters, without the NUL
constexpr size_t SHM_PROJECT_MAX = 63;

constexpr uint32_t SHM_HEADER_SIZE = 120;
constexpr uint32_t SHM_ANALOG_SIZE = 24;
constexpr uint32_t SHM_DISCRETE_SIZE = 16;
constexpr uint32_t SHM_WRITE_SLOT_SIZE = 16;
constexpr uint32_t SHM_PLC_SIZE = 128;

// Value types (common/vtype.h codes) stored in the value-type bytes (0 = not set).
constexpr uint8_t SHM_VT_NONE = 0x00;
constexpr uint8_t SHM_VT_BOOL = ZQ_VT_BOOL;
constexpr uint8_t SHM_VT_SINT = ZQ_VT_SINT;
constexpr uint8_t SHM_VT_INT = ZQ_VT_INT;
constexpr uint8_t SHM_VT_DINT = ZQ_VT_DINT;
constexpr uint8_t SHM_VT_LINT = ZQ_VT_LINT;
constexpr uint8_t SHM_VT_USINT = ZQ_VT_USINT;
constexpr uint8_t SHM_VT_UINT = ZQ_VT_UINT;
constexpr uint8_t SHM_VT_UDINT = ZQ_VT_UDINT;
constexpr uint8_t SHM_VT_ULINT = ZQ_VT_ULINT;
constexpr uint8_t SHM_VT_REAL = ZQ_VT_REAL;
constexpr uint8_t SHM_VT_LREAL = ZQ_VT_LREAL;

// "BOOL" .. "LREAL" for 0xC1..0xCB, "?" for anything else (bit strings too:
// the dump tools have always shown those as "?").
const char *shm_vtype_name(uint8_t code);

// PLC block mode values and their display names ("unknown" for >= 4).
enum : uint8_t { SHM_MODE_UNKNOWN = 0, SHM_MODE_RUN = 1, SHM_MODE_PROGRAM = 2, SHM_MODE_FAULT = 3 };
const char *shm_mode_name(uint8_t mode);

struct ShmHeader {
    uint32_t magic;           // 0
    uint32_t version;         // 4
    uint32_t connected;       // 8
    uint32_t poll_count;      // 12, atomic add
    int64_t last_poll_ms;     // 16
    uint32_t an_count;        // 24
    uint32_t di_count;        // 28
    uint32_t an_off;          // 32
    uint32_t di_off;          // 36
    uint32_t an_wr_off;       // 40
    uint32_t di_wr_off;       // 44
    uint32_t total_size;      // 48
    uint32_t plc_count;       // 52
    uint32_t plc_off;         // 56
    uint32_t time_read_req;   // 60
    uint32_t time_read_done;  // 64
    uint32_t time_sync_req;   // 68
    uint32_t time_sync_done;  // 72
    uint32_t time_plc;        // 76
    int32_t time_rc;          // 80
    uint32_t reserved;        // 84
    int64_t plc_time_us;      // 88
    int64_t host_time_us;     // 96
    int64_t time_read_ms;     // 104
    uint32_t an_vtype_off;    // 112
    uint32_t di_vtype_off;    // 116
};

struct ShmAnalog {
    double value;         // 0
    int64_t ts_ms;        // 8
    uint8_t quality;      // 16, 1 = good
    uint8_t reserved[7];  // 17
};

struct ShmDiscrete {
    uint8_t value;        // 0
    uint8_t quality;      // 1
    uint8_t reserved[6];  // 2
    int64_t ts_ms;        // 8
};

struct ShmWriteSlot {
    double value;         // 0
    uint8_t pending;      // 8, 1 = a request waits
    uint8_t reserved[7];  // 9
};

struct ShmPlcBlock {
    char ip[16];            // 0
    uint8_t slot;           // 16
    uint8_t connected;      // 17
    uint8_t mode;           // 18
    uint8_t minor_fault;    // 19
    uint16_t status;        // 20
    uint16_t product_code;  // 22
    uint16_t fw_major;      // 24
    uint16_t fw_minor;      // 26
    uint32_t serial;        // 28
    char name[48];          // 32
    char proc[48];          // 80
};

static_assert(sizeof(ShmHeader) == SHM_HEADER_SIZE);
static_assert(sizeof(ShmAnalog) == SHM_ANALOG_SIZE);
static_assert(sizeof(ShmDiscrete) == SHM_DISCRETE_SIZE);
static_assert(sizeof(ShmWriteSlot) == SHM_WRITE_SLOT_SIZE);
static_assert(sizeof(ShmPlcBlock) == SHM_PLC_SIZE);
static_assert(offsetof(ShmHeader, magic) == 0 && offsetof(ShmHeader, version) == 4);
static_assert(offsetof(ShmHeader, connected) == 8 && offsetof(ShmHeader, poll_count) == 12);
static_assert(offsetof(ShmHeader, last_poll_ms) == 16 && offsetof(ShmHeader, an_count) == 24);
static_assert(offsetof(ShmHeader, di_count) == 28 && offsetof(ShmHeader, an_off) == 32);
static_assert(offsetof(ShmHeader, di_off) == 36 && offsetof(ShmHeader, an_wr_off) == 40);
static_assert(offsetof(ShmHeader, di_wr_off) == 44 && offsetof(ShmHeader, total_size) == 48);
static_assert(offsetof(ShmHeader, plc_count) == 52 && offsetof(ShmHeader, plc_off) == 56);
static_assert(offsetof(ShmHeader, time_read_req) == 60 &&
              offsetof(ShmHeader, time_read_done) == 64);
static_assert(offsetof(ShmHeader, time_sync_req) == 68 &&
              offsetof(ShmHeader, time_sync_done) == 72);
static_assert(offsetof(ShmHeader, time_plc) == 76 && offsetof(ShmHeader, time_rc) == 80);
static_assert(offsetof(ShmHeader, reserved) == 84 && offsetof(ShmHeader, plc_time_us) == 88);
static_assert(offsetof(ShmHeader, host_time_us) == 96 && offsetof(ShmHeader, time_read_ms) == 104);
static_assert(offsetof(ShmHeader, an_vtype_off) == 112 && offsetof(ShmHeader, di_vtype_off) == 116);
static_assert(offsetof(ShmAnalog, value) == 0 && offsetof(ShmAnalog, ts_ms) == 8);
static_assert(offsetof(ShmAnalog, quality) == 16 && offsetof(ShmAnalog, reserved) == 17);
static_assert(offsetof(ShmDiscrete, value) == 0 && offsetof(ShmDiscrete, quality) == 1);
static_assert(offsetof(ShmDiscrete, reserved) == 2 && offsetof(ShmDiscrete, ts_ms) == 8);
static_assert(offsetof(ShmWriteSlot, value) == 0 && offsetof(ShmWriteSlot, pending) == 8);
static_assert(offsetof(ShmPlcBlock, ip) == 0 && offsetof(ShmPlcBlock, slot) == 16);
static_assert(offsetof(ShmPlcBlock, connected) == 17 && offsetof(ShmPlcBlock, mode) == 18);
static_assert(offsetof(ShmPlcBlock, minor_fault) == 19 && offsetof(ShmPlcBlock, status) == 20);
static_assert(offsetof(ShmPlcBlock, product_code) == 22 && offsetof(ShmPlcBlock, fw_major) == 24);
static_assert(offsetof(ShmPlcBlock, fw_minor) == 26 && offsetof(ShmPlcBlock, serial) == 28);
static_assert(offsetof(ShmPlcBlock, name) == 32 && offsetof(ShmPlcBlock, proc) == 80);

// Region offsets of a layout, computed in 64 bits.
struct ShmLayout {
    uint32_t an_count, di_count, plc_count;
    uint64_t an_off, di_off, an_wr_off, di_wr_off, plc_off, an_vtype_off, di_vtype_off;
    uint64_t total_size;
};

ShmLayout shm_layout(uint32_t an_count, uint32_t di_count, uint32_t plc_count);
// 120 + 41*an + 33*di + 128*plc, never overflowing.
uint64_t shm_total_size(uint64_t an_count, uint64_t di_count, uint64_t plc_count);

// Why the latest open/attach of a handle failed.
enum ShmStatus {
    SHM_OK = 0,
    SHM_ERR_SYS,       // system call failed; errno kept, err_what names the call
    SHM_ERR_MISSING,   // no object of that name (ENOENT)
    SHM_ERR_MISMATCH,  // magic or version differ
    SHM_ERR_LAYOUT,    // sizes/offsets inconsistent with the counts or the object's size
    SHM_ERR_COUNTS,    // fewer slots than requested (attach)
    SHM_ERR_TOO_BIG,   // the object would exceed 4 GiB - 1 bytes
    SHM_ERR_ARG,       // bad name or handle
};

// Why a header with this layout's magic and version cannot be used.
enum ShmHeaderFault {
    SHM_HDR_OK = 0,
    SHM_HDR_TOTAL_SIZE,  // total_size smaller than the header
    SHM_HDR_NOT_FIT,     // offsets not those of the counts, or beyond the object
};

// One handle type for writers and readers. The layout is validated once when
// the handle opens and cached here, so accessors never trust a header that
// another process could rewrite under the mapping. Close a handle once: a
// copy of an open handle shares its mapping and descriptor.
struct ShmHandle {
    uint8_t *base = nullptr;  // mapping address, nullptr when closed
    int fd = -1;
    size_t size = 0;  // mapped length
    bool writable = false;
    char name[SHM_NAME_MAX + 1] = {};
    ShmLayout layout = {};
    ShmStatus status = SHM_OK;
    const char *err_what = "";  // "shm_open", "mmap header", "mmap full", "ftruncate", ...
    uint32_t found_magic = 0;   // header seen on a mismatch
    uint32_t found_version = 0;
    // What a header that does not fit the object says (SHM_ERR_LAYOUT).
    ShmHeaderFault header_fault = SHM_HDR_OK;
    uint32_t found_total_size = 0;
    uint64_t found_real_size = 0;  // the object's real size
    uint32_t found_an_count = 0, found_di_count = 0, found_plc_count = 0;
};

// --- writer side -----------------------------------------------------------

// Opens or creates the object (mode 0666) and maps it read-write. A matching
// object with exactly these counts keeps its contents; one with other counts
// is never shrunk (each count becomes the larger of old and requested) and
// everything after the header is zeroed; a foreign or empty object is zeroed
// whole. Then writes counts, offsets, total_size and connected = 0.
// Returns 0 or -1 (logged, handle closed).
int shm_open_rw(const char *name, uint32_t an_count, uint32_t di_count, uint32_t plc_count,
                ShmHandle *h);

// Attaches read-write to an existing object that has at least these counts.
// Logs nothing; -1 with h->status telling why.
int shm_attach_rw(const char *name, uint32_t an_count, uint32_t di_count, uint32_t plc_count,
                  ShmHandle *h);

// Unmaps exactly the mapped length, closes the descriptor, resets the handle.
void shm_close(ShmHandle *h);

// Out-of-range indices and closed handles are ignored silently.
void shm_update_analog(ShmHandle *h, int64_t index, uint8_t quality, int64_t ts_ms, double value);
void shm_update_discrete(ShmHandle *h, int64_t index, uint8_t value, uint8_t quality,
                         int64_t ts_ms);
void shm_set_an_vtype(ShmHandle *h, int64_t index, uint8_t code);
void shm_set_di_vtype(ShmHandle *h, int64_t index, uint8_t code);

// --- reader side -----------------------------------------------------------

// Opens an existing object (read-write or read-only), checks magic, version,
// the object's real size and every region offset, and maps it whole. Prints
// nothing: returns 0 or -1 with h->status / h->err_what / errno and the
// found_* fields telling why (the program's words: common/shm_report.h).
int shm_handle_open(ShmHandle *h, const char *name, bool writable = true);
void shm_handle_close(ShmHandle *h);

// True while the mapped header still carries this layout's magic and version.
bool shm_check_magic(const ShmHandle *h);

// --- bounds-checked access (nullptr when closed or out of range) -----------

ShmHeader *shm_header(const ShmHandle *h);
ShmAnalog *shm_analog(const ShmHandle *h, int64_t index);
ShmDiscrete *shm_discrete(const ShmHandle *h, int64_t index);
ShmWriteSlot *shm_an_write_slot(const ShmHandle *h, int64_t index);
ShmWriteSlot *shm_di_write_slot(const ShmHandle *h, int64_t index);
ShmPlcBlock *shm_plc(const ShmHandle *h, int64_t index);
uint8_t *shm_an_vtype(const ShmHandle *h, int64_t index);
uint8_t *shm_di_vtype(const ShmHandle *h, int64_t index);
// Counts of the open handle (0 when closed).
uint32_t shm_an_count(const ShmHandle *h);
uint32_t shm_di_count(const ShmHandle *h);
uint32_t shm_plc_count(const ShmHandle *h);

// --- write slots -------------------------------------------------------------

// Requester: stores value, then sets pending = 1 (release). A request not yet
// taken is overwritten (last writer wins).
void shm_post_write(ShmWriteSlot *slot, double value);
// Servant: exchanges pending 1 -> 0 and only then reads value (acquire).
// Returns true with *value set when a request was taken. A request posted
// while an earlier one is being carried out stays pending for the next take.
bool shm_take_write(ShmWriteSlot *slot, double *value);
// Acquire read of pending without taking the request.
bool shm_write_pending(const ShmWriteSlot *slot);

// --- header fields shared between processes ---------------------------------

uint32_t shm_load_acquire(const uint32_t *field);
void shm_store_release(uint32_t *field, uint32_t value);

// PLC clock handshake, requester side: stores time_plc, then req = done + 1
// (release). Returns the request number to wait for in shm_time_done.
uint32_t shm_time_request(ShmHandle *h, uint32_t plc, bool sync);
// Acquire read of time_read_done (sync false) or time_sync_done (sync true).
uint32_t shm_time_done(const ShmHandle *h, bool sync);
// Servant side: true when req != done, with *req set (acquire).
bool shm_time_pending(const ShmHandle *h, bool sync, uint32_t *req);
// Servant side: after storing time_rc and the times, done = req (release).
void shm_time_complete(ShmHandle *h, bool sync, uint32_t req);

// Liveness: connected (plain store) and, after a completed poll cycle,
// last_poll_ms = now_ms and an atomic poll_count add.
void shm_set_connected(ShmHandle *h, uint32_t connected);
void shm_poll_done(ShmHandle *h, int64_t now_ms);
// Supervisor without a driver: when now_ms is more than 999 ms past
// last_poll_ms, sets connected = 1, last_poll_ms = now_ms, poll_count += 1.
// Returns true when it did.
bool shm_keepalive(ShmHandle *h, int64_t now_ms);

// Wall-clock milliseconds since 1970 (realtime clock).
int64_t shm_now_ms();

// --- names --------------------------------------------------------------------

// A usable configured prefix: begins with "/", at least one more character,
// no further "/".
bool shm_name_prefix_valid(const char *prefix);
// The name a program uses: LOGIX_SHM_NAME when set and non-empty, else the
// configured prefix when valid (may be nullptr), else "/logix_drv".
std::string shm_resolve_name(const char *configured_prefix);
// The supervisor's name "%s_%s" of the prefix (default when invalid) and the
// project name (cut to 63), cut to 127 characters; the prefix alone when the
// project name is empty.
std::string shm_supervisor_name(const char *prefix, const char *project);
