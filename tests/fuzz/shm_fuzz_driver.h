#pragma once
// One fuzz input as the bytes of a shared-memory object another program (or
// a stale build) left behind: attached and read through the bounds-checked
// accessors, then re-opened by a writer. Shared by the fuzz target and the
// corpus replay test.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/shm.h"

namespace shm_fuzz {

struct result {
    bool attached = false;  // a reader accepted the object
    uint32_t an = 0, di = 0, plc = 0;
    bool rewritten = false;  // a writer re-opened it
    uint64_t checksum = 0;   // of every record read, so none of the reads is dropped
};

inline result run_one(const char *name, const uint8_t *data, size_t size) {
    result res;
    if (size > (1u << 16)) return res;
    shm_unlink(name);
    int fd = shm_open(name, O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return res;
    size_t off = 0;
    while (off < size) {
        ssize_t w = write(fd, data + off, size - off);
        if (w <= 0) break;
        off += size_t(w);
    }
    close(fd);
    ShmHandle h;
    if (shm_handle_open(&h, name, false) == 0) {
        res.attached = true;
        res.an = shm_an_count(&h);
        res.di = shm_di_count(&h);
        res.plc = shm_plc_count(&h);
        uint64_t sum = 0;
        for (int64_t i = -1; i <= int64_t(res.an); i++) {
            if (ShmAnalog *r = shm_analog(&h, i)) sum += uint64_t(r->ts_ms) + r->quality;
            if (ShmWriteSlot *w = shm_an_write_slot(&h, i)) sum += w->pending;
            if (uint8_t *t = shm_an_vtype(&h, i)) sum += *t;
        }
        for (int64_t i = -1; i <= int64_t(res.di); i++) {
            if (ShmDiscrete *r = shm_discrete(&h, i)) sum += r->value;
            if (ShmWriteSlot *w = shm_di_write_slot(&h, i)) sum += w->pending;
            if (uint8_t *t = shm_di_vtype(&h, i)) sum += *t;
        }
        for (int64_t i = -1; i <= int64_t(res.plc); i++) {
            if (ShmPlcBlock *b = shm_plc(&h, i)) sum += b->serial;
        }
        res.checksum = sum;
        shm_handle_close(&h);
    }
    // A writer re-opening the same bytes: grows or zeroes, never crashes.
    if (shm_open_rw(name, uint32_t(size % 7), uint32_t(size % 5), uint32_t(size % 3), &h) == 0) {
        shm_update_analog(&h, int64_t(size % 9), 1, 1, 1.0);
        shm_close(&h);
        res.rewritten = true;
    }
    shm_unlink(name);
    return res;
}

}  // namespace shm_fuzz
