#include "common/shm_report.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>

#include "common/log.h"
#include "common/shm.h"

namespace {

std::atomic<bool> g_mismatch_printed[SHM_MSG_NONE];
std::atomic<bool> g_total_printed{false};
std::atomic<bool> g_layout_printed{false};

void report_mismatch(const ShmHandle *h, ShmMismatchMsg msg) {
    if (h->found_magic == 0 && h->found_version == 0) return;
    // The calc engine and the trend recorder speak only of a version change
    // of this layout; a foreign magic is silent for them.
    if ((msg == SHM_MSG_CALC || msg == SHM_MSG_TREND) && h->found_magic != SHM_MAGIC) return;
    if (g_mismatch_printed[msg].exchange(true)) return;
    switch (msg) {
        case SHM_MSG_SERVER:
            fprintf(stderr,
                    "shm_handle_open(%s): magic/version mismatch (magic 0x%08X, version %u, "
                    "binary expects %u) — rebuild/restart the whole stack together\n",
                    h->name, h->found_magic, h->found_version, SHM_VERSION);
            break;
        case SHM_MSG_ALARM:
            fprintf(stderr,
                    "[alarm] SHM %s magic/version mismatch (version %u, binary expects %u) — "
                    "rebuild whole stack\n",
                    h->name, h->found_version, SHM_VERSION);
            break;
        case SHM_MSG_CALC:
            log_err("SHM %s версія %u, бінар очікує %u — перезберіть весь стек", h->name,
                    h->found_version, SHM_VERSION);
            break;
        case SHM_MSG_TREND:
            fprintf(stderr, "[trend] SHM %s version %u, binary expects %u — rebuild whole stack\n",
                    h->name, h->found_version, SHM_VERSION);
            break;
        default:
            break;
    }
    fflush(stderr);
}

}  // namespace

void shm_report_open_failure(const ShmHandle *h, ShmMismatchMsg msg) {
    if (!h || msg < 0 || msg >= SHM_MSG_NONE) return;
    if (h->status == SHM_ERR_MISMATCH) {
        report_mismatch(h, msg);
    } else if (h->status == SHM_ERR_LAYOUT && h->header_fault == SHM_HDR_TOTAL_SIZE) {
        if (!g_total_printed.exchange(true))
            fprintf(stderr, "shm_handle_open: invalid total_size %u\n", h->found_total_size);
    } else if (h->status == SHM_ERR_LAYOUT && h->header_fault == SHM_HDR_NOT_FIT) {
        if (!g_layout_printed.exchange(true))
            fprintf(stderr,
                    "shm_handle_open(%s): header does not fit the object (total_size %u, real "
                    "size %" PRIu64 ", AN=%u, DI=%u, PLC=%u) — object not used\n",
                    h->name, h->found_total_size, h->found_real_size, h->found_an_count,
                    h->found_di_count, h->found_plc_count);
    }
}
