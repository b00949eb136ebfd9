#include "common/shm.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/log.h"
#include "common/vtype.h"

namespace {

template <typename T>
std::atomic_ref<T> aref(T &v) {
    return std::atomic_ref<T>(v);
}

template <typename T>
std::atomic_ref<T> aref(const T &v) {
    return std::atomic_ref<T>(const_cast<T &>(v));
}

void reset(ShmHandle *h) {
    h->base = nullptr;
    h->fd = -1;
    h->size = 0;
    h->writable = false;
    h->layout = ShmLayout{};
}

void unmap_close(ShmHandle *h) {
    if (h->base && h->size) munmap(h->base, h->size);
    if (h->fd >= 0) close(h->fd);
    reset(h);
}

void set_name(ShmHandle *h, const char *name) {
    size_t n = strnlen(name, SHM_NAME_MAX);
    memcpy(h->name, name, n);
    h->name[n] = '\0';
}

// One path component beginning with "/", at most 127 characters.
bool name_valid(const char *name) {
    if (!name || name[0] != '/' || name[1] == '\0') return false;
    if (strnlen(name, SHM_NAME_MAX + 1) > SHM_NAME_MAX) return false;
    return strchr(name + 1, '/') == nullptr;
}

bool read_header(int fd, ShmHeader *hdr) {
    ssize_t n = pread(fd, hdr, sizeof *hdr, 0);
    return n == ssize_t(sizeof *hdr);
}

uint64_t magic_word(const ShmHeader &hdr) {
    return (uint64_t(hdr.version) << 32) | hdr.magic;
}

// The header's offsets and size are exactly those of its own counts.
bool header_consistent(const ShmHeader &hdr) {
    ShmLayout l = shm_layout(hdr.an_count, hdr.di_count, hdr.plc_count);
    return l.total_size <= UINT32_MAX && hdr.total_size == l.total_size && hdr.an_off == l.an_off &&
           hdr.di_off == l.di_off && hdr.an_wr_off == l.an_wr_off && hdr.di_wr_off == l.di_wr_off &&
           hdr.plc_off == l.plc_off && hdr.an_vtype_off == l.an_vtype_off &&
           hdr.di_vtype_off == l.di_vtype_off;
}

void write_layout(ShmHeader *hdr, const ShmLayout &l) {
    hdr->an_count = l.an_count;
    hdr->di_count = l.di_count;
    hdr->an_off = uint32_t(l.an_off);
    hdr->di_off = uint32_t(l.di_off);
    hdr->an_wr_off = uint32_t(l.an_wr_off);
    hdr->di_wr_off = uint32_t(l.di_wr_off);
    hdr->total_size = uint32_t(l.total_size);
    hdr->plc_count = l.plc_count;
    hdr->plc_off = uint32_t(l.plc_off);
    hdr->an_vtype_off = uint32_t(l.an_vtype_off);
    hdr->di_vtype_off = uint32_t(l.di_vtype_off);
}

template <typename T>
T *element(const ShmHandle *h, uint64_t off, uint32_t count, int64_t index) {
    if (!h || !h->base || index < 0 || uint64_t(index) >= count) return nullptr;
    return reinterpret_cast<T *>(h->base + off + uint64_t(index) * sizeof(T));
}

// Validates the header read from fd against the object's real size.
// Fills *l on success; sets h->status otherwise.
bool validate(ShmHandle *h, const ShmHeader &hdr, uint64_t real_size, ShmLayout *l) {
    if (magic_word(hdr) != SHM_MAGIC_VERSION) {
        h->status = SHM_ERR_MISMATCH;
        h->found_magic = hdr.magic;
        h->found_version = hdr.version;
        return false;
    }
    bool short_total = hdr.total_size < SHM_HEADER_SIZE;
    if (short_total || !header_consistent(hdr) || hdr.total_size > real_size) {
        h->status = SHM_ERR_LAYOUT;
        h->header_fault = short_total ? SHM_HDR_TOTAL_SIZE : SHM_HDR_NOT_FIT;
        h->found_total_size = hdr.total_size;
        h->found_real_size = real_size;
        h->found_an_count = hdr.an_count;
        h->found_di_count = hdr.di_count;
        h->found_plc_count = hdr.plc_count;
        return false;
    }
    *l = shm_layout(hdr.an_count, hdr.di_count, hdr.plc_count);
    return true;
}

// Opens and maps an existing object whose header passes validate(). Between
// the header read and the mapping another writer may have re-laid the
// object out, so the mapped header is compared with the one validated.
int attach(ShmHandle *h, const char *name, bool writable, const uint32_t *need) {
    if (!h) return -1;
    if (h->base || h->fd >= 0) unmap_close(h);
    reset(h);
    h->name[0] = '\0';
    h->status = SHM_OK;
    h->err_what = "";
    h->found_magic = h->found_version = 0;
    h->header_fault = SHM_HDR_OK;
    h->found_total_size = 0;
    h->found_real_size = 0;
    h->found_an_count = h->found_di_count = h->found_plc_count = 0;
    if (!name_valid(name)) {
        if (name) set_name(h, name);
        h->status = SHM_ERR_ARG;
        h->err_what = "shm_open";
        errno = EINVAL;
        return -1;
    }
    set_name(h, name);
    int fd = shm_open(name, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC, 0);
    if (fd < 0) {
        h->status = errno == ENOENT ? SHM_ERR_MISSING : SHM_ERR_SYS;
        h->err_what = "shm_open";
        return -1;
    }
    h->fd = fd;
    struct stat st;
    ShmHeader hdr;
    if (fstat(fd, &st) != 0) {
        int e = errno;
        h->status = SHM_ERR_SYS;
        h->err_what = "fstat";
        unmap_close(h);
        errno = e;
        return -1;
    }
    if (uint64_t(st.st_size) < SHM_HEADER_SIZE || !read_header(fd, &hdr)) {
        // Too short to hold a header: just created, not sized yet.
        h->status = SHM_ERR_LAYOUT;
        h->err_what = "mmap header";
        unmap_close(h);
        errno = EINVAL;
        return -1;
    }
    ShmLayout l;
    if (!validate(h, hdr, uint64_t(st.st_size), &l)) {
        unmap_close(h);
        errno = EINVAL;
        return -1;
    }
    if (need && (l.an_count < need[0] || l.di_count < need[1] || l.plc_count < need[2])) {
        h->status = SHM_ERR_COUNTS;
        unmap_close(h);
        errno = ERANGE;
        return -1;
    }
    void *p =
        mmap(nullptr, l.total_size, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        int e = errno;
        h->status = SHM_ERR_SYS;
        h->err_what = "mmap full";
        unmap_close(h);
        errno = e;
        return -1;
    }
    h->base = static_cast<uint8_t *>(p);
    h->size = l.total_size;
    const ShmHeader *mh = reinterpret_cast<const ShmHeader *>(h->base);
    if (magic_word(*mh) != SHM_MAGIC_VERSION || mh->an_count != l.an_count ||
        mh->di_count != l.di_count || mh->plc_count != l.plc_count ||
        mh->total_size != l.total_size) {
        h->status = SHM_ERR_LAYOUT;
        unmap_close(h);
        errno = EAGAIN;
        return -1;
    }
    h->writable = writable;
    h->layout = l;
    h->status = SHM_OK;
    return 0;
}

}  // namespace

const char *shm_vtype_name(uint8_t code) {
    if (code < SHM_VT_BOOL || code > SHM_VT_LREAL) return "?";
    return zq_vtype_name(code);
}

const char *shm_mode_name(uint8_t mode) {
    switch (mode) {
        case SHM_MODE_RUN:
            return "run";
        case SHM_MODE_PROGRAM:
            return "program";
        case SHM_MODE_FAULT:
            return "fault";
        default:
            return "unknown";
    }
}

uint64_t shm_total_size(uint64_t an_count, uint64_t di_count, uint64_t plc_count) {
    // Counts are 32-bit in every caller; 64-bit arithmetic cannot overflow.
    return SHM_HEADER_SIZE + 41 * (an_count & 0xFFFFFFFFu) + 33 * (di_count & 0xFFFFFFFFu) +
           128 * (plc_count & 0xFFFFFFFFu);
}

ShmLayout shm_layout(uint32_t an_count, uint32_t di_count, uint32_t plc_count) {
    ShmLayout l{};
    l.an_count = an_count;
    l.di_count = di_count;
    l.plc_count = plc_count;
    l.an_off = SHM_HEADER_SIZE;
    l.di_off = l.an_off + uint64_t(SHM_ANALOG_SIZE) * an_count;
    l.an_wr_off = l.di_off + uint64_t(SHM_DISCRETE_SIZE) * di_count;
    l.di_wr_off = l.an_wr_off + uint64_t(SHM_WRITE_SLOT_SIZE) * an_count;
    l.plc_off = l.di_wr_off + uint64_t(SHM_WRITE_SLOT_SIZE) * di_count;
    l.an_vtype_off = l.plc_off + uint64_t(SHM_PLC_SIZE) * plc_count;
    l.di_vtype_off = l.an_vtype_off + an_count;
    l.total_size = l.di_vtype_off + di_count;
    return l;
}

int shm_open_rw(const char *name, uint32_t an_count, uint32_t di_count, uint32_t plc_count,
                ShmHandle *h) {
    if (!h) return -1;
    if (h->base || h->fd >= 0) unmap_close(h);
    reset(h);
    h->name[0] = '\0';
    h->err_what = "";
    if (!name_valid(name)) {
        const char *shown = name ? name : "(null)";
        log_err("shm_open(%s): %s", shown, strerror(EINVAL));
        if (name) set_name(h, name);
        h->status = SHM_ERR_ARG;
        h->err_what = "shm_open";
        errno = EINVAL;
        return -1;
    }
    set_name(h, name);
    ShmLayout want = shm_layout(an_count, di_count, plc_count);
    if (want.total_size > UINT32_MAX) {
        log_err("SHM %s: %" PRIu64
                " байт перевищує межу 4294967295 (AN=%u, DI=%u, PLC=%u) — об'єкт не створено",
                name, want.total_size, an_count, di_count, plc_count);
        h->status = SHM_ERR_TOO_BIG;
        errno = EFBIG;
        return -1;
    }

    int fd = shm_open(name, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        int e = errno;
        log_err("shm_open(%s): %s", name, strerror(e));
        h->status = SHM_ERR_SYS;
        h->err_what = "shm_open";
        errno = e;
        return -1;
    }
    h->fd = fd;
    // Readers and writers run as different users; the umask must not take
    // their access away.
    fchmod(fd, 0666);

    auto fail = [&](const char *what) {
        int e = errno;
        log_err("%s(%s): %s", what, name, strerror(e));
        h->status = SHM_ERR_SYS;
        h->err_what = what;
        unmap_close(h);
        errno = e;
        return -1;
    };

    struct stat st;
    if (fstat(fd, &st) != 0) return fail("fstat");
    uint64_t cur = uint64_t(st.st_size);
    ShmHeader old{};
    bool ours = cur >= SHM_HEADER_SIZE && read_header(fd, &old) &&
                magic_word(old) == SHM_MAGIC_VERSION && header_consistent(old);
    bool keep = ours && old.an_count == an_count && old.di_count == di_count &&
                old.plc_count == plc_count && cur >= want.total_size;

    ShmLayout l = want;
    if (ours && !keep) {
        // Other programs may still map the object: never shrink it.
        uint32_t an = old.an_count > an_count ? old.an_count : an_count;
        uint32_t di = old.di_count > di_count ? old.di_count : di_count;
        uint32_t plc = old.plc_count > plc_count ? old.plc_count : plc_count;
        l = shm_layout(an, di, plc);
        if (l.total_size > UINT32_MAX) {
            log_err("SHM %s: %" PRIu64
                    " байт перевищує межу 4294967295 (AN=%u, DI=%u, PLC=%u) — об'єкт не створено",
                    name, l.total_size, an, di, plc);
            h->status = SHM_ERR_TOO_BIG;
            unmap_close(h);
            errno = EFBIG;
            return -1;
        }
    }
    if (cur < l.total_size) {
        int rc;
        do {
            rc = ftruncate(fd, off_t(l.total_size));
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) return fail("ftruncate");
    }
    void *p = mmap(nullptr, l.total_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return fail("mmap");
    h->base = static_cast<uint8_t *>(p);
    h->size = l.total_size;
    h->writable = true;
    h->layout = l;
    ShmHeader *hdr = reinterpret_cast<ShmHeader *>(h->base);

    if (!ours) {
        memset(h->base, 0, l.total_size);
    } else if (!keep) {
        // Regions move when counts change; a stale byte landing on a pending
        // flag would send garbage to a PLC.
        memset(h->base + SHM_HEADER_SIZE, 0, l.total_size - SHM_HEADER_SIZE);
    }
    write_layout(hdr, l);
    aref(hdr->connected).store(0, std::memory_order_relaxed);
    if (!ours) {
        hdr->magic = SHM_MAGIC;
        aref(hdr->version).store(SHM_VERSION, std::memory_order_release);
    }
    h->status = SHM_OK;
    log_msg("SHM %s (%zu байт, AN=%u, DI=%u, PLC=%u)", name, h->size, l.an_count, l.di_count,
            l.plc_count);
    return 0;
}

int shm_attach_rw(const char *name, uint32_t an_count, uint32_t di_count, uint32_t plc_count,
                  ShmHandle *h) {
    const uint32_t need[3] = {an_count, di_count, plc_count};
    return attach(h, name, true, need);
}

void shm_close(ShmHandle *h) {
    if (h) unmap_close(h);
}

int shm_handle_open(ShmHandle *h, const char *name, bool writable) {
    return attach(h, name, writable, nullptr);
}

void shm_handle_close(ShmHandle *h) {
    shm_close(h);
}

bool shm_check_magic(const ShmHandle *h) {
    if (!h || !h->base) return false;
    const ShmHeader *hdr = reinterpret_cast<const ShmHeader *>(h->base);
    uint32_t magic = aref(hdr->magic).load(std::memory_order_acquire);
    uint32_t version = aref(hdr->version).load(std::memory_order_acquire);
    return magic == SHM_MAGIC && version == SHM_VERSION;
}

ShmHeader *shm_header(const ShmHandle *h) {
    return h && h->base ? reinterpret_cast<ShmHeader *>(h->base) : nullptr;
}

ShmAnalog *shm_analog(const ShmHandle *h, int64_t index) {
    return h ? element<ShmAnalog>(h, h->layout.an_off, h->layout.an_count, index) : nullptr;
}

ShmDiscrete *shm_discrete(const ShmHandle *h, int64_t index) {
    return h ? element<ShmDiscrete>(h, h->layout.di_off, h->layout.di_count, index) : nullptr;
}

ShmWriteSlot *shm_an_write_slot(const ShmHandle *h, int64_t index) {
    return h ? element<ShmWriteSlot>(h, h->layout.an_wr_off, h->layout.an_count, index) : nullptr;
}

ShmWriteSlot *shm_di_write_slot(const ShmHandle *h, int64_t index) {
    return h ? element<ShmWriteSlot>(h, h->layout.di_wr_off, h->layout.di_count, index) : nullptr;
}

ShmPlcBlock *shm_plc(const ShmHandle *h, int64_t index) {
    return h ? element<ShmPlcBlock>(h, h->layout.plc_off, h->layout.plc_count, index) : nullptr;
}

uint8_t *shm_an_vtype(const ShmHandle *h, int64_t index) {
    return h ? element<uint8_t>(h, h->layout.an_vtype_off, h->layout.an_count, index) : nullptr;
}

uint8_t *shm_di_vtype(const ShmHandle *h, int64_t index) {
    return h ? element<uint8_t>(h, h->layout.di_vtype_off, h->layout.di_count, index) : nullptr;
}

uint32_t shm_an_count(const ShmHandle *h) {
    return h && h->base ? h->layout.an_count : 0;
}
uint32_t shm_di_count(const ShmHandle *h) {
    return h && h->base ? h->layout.di_count : 0;
}
uint32_t shm_plc_count(const ShmHandle *h) {
    return h && h->base ? h->layout.plc_count : 0;
}

void shm_update_analog(ShmHandle *h, int64_t index, uint8_t quality, int64_t ts_ms, double value) {
    ShmAnalog *r = shm_analog(h, index);
    if (!r || !h->writable) return;
    aref(r->quality).store(quality, std::memory_order_relaxed);
    aref(r->ts_ms).store(ts_ms, std::memory_order_relaxed);
    aref(r->value).store(value, std::memory_order_relaxed);
}

void shm_update_discrete(ShmHandle *h, int64_t index, uint8_t value, uint8_t quality,
                         int64_t ts_ms) {
    ShmDiscrete *r = shm_discrete(h, index);
    if (!r || !h->writable) return;
    aref(r->value).store(value, std::memory_order_relaxed);
    aref(r->quality).store(quality, std::memory_order_relaxed);
    aref(r->ts_ms).store(ts_ms, std::memory_order_relaxed);
}

void shm_set_an_vtype(ShmHandle *h, int64_t index, uint8_t code) {
    uint8_t *p = shm_an_vtype(h, index);
    if (p && h->writable) aref(*p).store(code, std::memory_order_relaxed);
}

void shm_set_di_vtype(ShmHandle *h, int64_t index, uint8_t code) {
    uint8_t *p = shm_di_vtype(h, index);
    if (p && h->writable) aref(*p).store(code, std::memory_order_relaxed);
}

void shm_post_write(ShmWriteSlot *slot, double value) {
    if (!slot) return;
    aref(slot->value).store(value, std::memory_order_relaxed);
    aref(slot->pending).store(1, std::memory_order_release);
}

bool shm_take_write(ShmWriteSlot *slot, double *value) {
    if (!slot) return false;
    // Clearing pending before reading value means a request posted from now
    // on stays pending for the next take instead of being cleared unseen.
    uint8_t was = aref(slot->pending).exchange(0, std::memory_order_acq_rel);
    if (was != 1) return false;  // free, or a stray byte that is no request
    double v = aref(slot->value).load(std::memory_order_acquire);
    if (value) *value = v;
    return true;
}

bool shm_write_pending(const ShmWriteSlot *slot) {
    return slot && aref(slot->pending).load(std::memory_order_acquire) == 1;
}

uint32_t shm_load_acquire(const uint32_t *field) {
    return field ? aref(*field).load(std::memory_order_acquire) : 0;
}

void shm_store_release(uint32_t *field, uint32_t value) {
    if (field) aref(*field).store(value, std::memory_order_release);
}

uint32_t shm_time_request(ShmHandle *h, uint32_t plc, bool sync) {
    ShmHeader *hdr = shm_header(h);
    if (!hdr || !h->writable) return 0;
    aref(hdr->time_plc).store(plc, std::memory_order_relaxed);
    uint32_t *req = sync ? &hdr->time_sync_req : &hdr->time_read_req;
    uint32_t *done = sync ? &hdr->time_sync_done : &hdr->time_read_done;
    uint32_t n = aref(*done).load(std::memory_order_acquire) + 1;
    aref(*req).store(n, std::memory_order_release);
    return n;
}

uint32_t shm_time_done(const ShmHandle *h, bool sync) {
    ShmHeader *hdr = shm_header(h);
    if (!hdr) return 0;
    return aref(sync ? hdr->time_sync_done : hdr->time_read_done).load(std::memory_order_acquire);
}

bool shm_time_pending(const ShmHandle *h, bool sync, uint32_t *req) {
    ShmHeader *hdr = shm_header(h);
    if (!hdr) return false;
    uint32_t r =
        aref(sync ? hdr->time_sync_req : hdr->time_read_req).load(std::memory_order_acquire);
    uint32_t d =
        aref(sync ? hdr->time_sync_done : hdr->time_read_done).load(std::memory_order_relaxed);
    if (req) *req = r;
    return r != d;
}

void shm_time_complete(ShmHandle *h, bool sync, uint32_t req) {
    ShmHeader *hdr = shm_header(h);
    if (!hdr || !h->writable) return;
    aref(sync ? hdr->time_sync_done : hdr->time_read_done).store(req, std::memory_order_release);
}

void shm_set_connected(ShmHandle *h, uint32_t connected) {
    ShmHeader *hdr = shm_header(h);
    if (hdr && h->writable) aref(hdr->connected).store(connected, std::memory_order_relaxed);
}

void shm_poll_done(ShmHandle *h, int64_t now_ms) {
    ShmHeader *hdr = shm_header(h);
    if (!hdr || !h->writable) return;
    aref(hdr->last_poll_ms).store(now_ms, std::memory_order_relaxed);
    aref(hdr->poll_count).fetch_add(1, std::memory_order_release);
}

bool shm_keepalive(ShmHandle *h, int64_t now_ms) {
    ShmHeader *hdr = shm_header(h);
    if (!hdr || !h->writable) return false;
    if (now_ms - aref(hdr->last_poll_ms).load(std::memory_order_relaxed) <= 999) return false;
    aref(hdr->connected).store(1, std::memory_order_relaxed);
    shm_poll_done(h, now_ms);
    return true;
}

int64_t shm_now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool shm_name_prefix_valid(const char *prefix) {
    return prefix && prefix[0] == '/' && prefix[1] != '\0' && strchr(prefix + 1, '/') == nullptr;
}

std::string shm_resolve_name(const char *configured_prefix) {
    const char *env = getenv("LOGIX_SHM_NAME");
    if (env && *env) return std::string(env, strnlen(env, SHM_NAME_MAX));
    if (shm_name_prefix_valid(configured_prefix))
        return std::string(configured_prefix, strnlen(configured_prefix, SHM_NAME_MAX));
    return SHM_DEFAULT_NAME;
}

std::string shm_supervisor_name(const char *prefix, const char *project) {
    std::string p = shm_name_prefix_valid(prefix)
                        ? std::string(prefix, strnlen(prefix, SHM_PROJECT_MAX))
                        : std::string(SHM_DEFAULT_NAME);
    if (!project || !*project) return p;
    std::string name = p + "_" + std::string(project, strnlen(project, SHM_PROJECT_MAX));
    if (name.size() > SHM_NAME_MAX) name.resize(SHM_NAME_MAX);
    return name;
}
