#pragma once
// The lines a program prints when it cannot use the database. Opening never
// prints; after a failed shm_handle_open each program calls
// shm_report_open_failure with its own variant. Every line is printed at
// most once per process (the mismatch line once per variant), so a program
// that retries each second does not flood its log.

struct ShmHandle;

// Which program's words a magic/version mismatch is told in (%s the name,
// "binary expects" the SHM_VERSION of this build). A header of zeros is an
// object being created, not a mismatch, and is never reported.
enum ShmMismatchMsg {
    // stderr "shm_handle_open(%s): magic/version mismatch (magic 0x%08X,
    // version %u, binary expects %u) — rebuild/restart the whole stack
    // together" (server, zqshm)
    SHM_MSG_SERVER,
    // stderr "[alarm] SHM %s magic/version mismatch (version %u, binary
    // expects %u) — rebuild whole stack"
    SHM_MSG_ALARM,
    // log_err "SHM %s версія %u, бінар очікує %u — перезберіть весь стек";
    // only for this layout's magic, a foreign object is passed over silently
    SHM_MSG_CALC,
    // stderr "[trend] SHM %s version %u, binary expects %u — rebuild whole
    // stack"; only for this layout's magic
    SHM_MSG_TREND,
    SHM_MSG_NONE,  // nothing at all
};

// For a handle whose open failed: the mismatch line of msg, or for a header
// that does not fit the object one of the lines (shared by all variants)
//   stderr "shm_handle_open: invalid total_size %u"
//   stderr "shm_handle_open(%s): header does not fit the object (total_size
//           %u, real size %llu, AN=%u, DI=%u, PLC=%u) — object not used"
// Other failures (missing object, system errors) print nothing here.
void shm_report_open_failure(const ShmHandle *h, ShmMismatchMsg msg);
