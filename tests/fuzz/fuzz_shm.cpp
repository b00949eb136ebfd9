// Hostile shared-memory objects: whatever bytes another program (or a stale
// build) left in the object, attaching and reading every record through the
// bounds-checked accessors never reads outside the mapping.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/log.h"
#include "common/shm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string name = "/zqfuzz_shm_" + std::to_string(getpid());
    static const bool quiet = [] {
        log_set_flags(0, 0, 0);  // no log files from the fuzzer's working directory
        return true;
    }();
    (void)quiet;
    if (size > (1u << 16)) return 0;
    shm_unlink(name.c_str());
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return 0;
    size_t off = 0;
    while (off < size) {
        ssize_t w = write(fd, data + off, size - off);
        if (w <= 0) break;
        off += size_t(w);
    }
    close(fd);

    ShmHandle h;
    uint64_t sum = 0;
    if (shm_handle_open(&h, name.c_str(), false) == 0) {
        for (int64_t i = -1; i <= int64_t(shm_an_count(&h)); i++) {
            if (ShmAnalog *r = shm_analog(&h, i)) sum += uint64_t(r->ts_ms) + r->quality;
            if (ShmWriteSlot *w = shm_an_write_slot(&h, i)) sum += w->pending;
            if (uint8_t *t = shm_an_vtype(&h, i)) sum += *t;
        }
        for (int64_t i = -1; i <= int64_t(shm_di_count(&h)); i++) {
            if (ShmDiscrete *r = shm_discrete(&h, i)) sum += r->value;
            if (ShmWriteSlot *w = shm_di_write_slot(&h, i)) sum += w->pending;
            if (uint8_t *t = shm_di_vtype(&h, i)) sum += *t;
        }
        for (int64_t i = -1; i <= int64_t(shm_plc_count(&h)); i++) {
            if (ShmPlcBlock *b = shm_plc(&h, i)) sum += b->serial;
        }
        shm_handle_close(&h);
    }
    // A writer re-opening the same bytes: grows or zeroes, never crashes.
    if (shm_open_rw(name.c_str(), uint32_t(size % 7), uint32_t(size % 5), uint32_t(size % 3), &h) ==
        0) {
        shm_update_analog(&h, int64_t(size % 9), 1, 1, 1.0);
        shm_close(&h);
    }
    shm_unlink(name.c_str());
    return int(sum & 0);
}
