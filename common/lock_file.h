#pragma once
// One instance of a program per database: a record lock on
// "/tmp/<program><database name with '/' as '_'>.lock", held until the
// process ends (the kernel drops it however the process exits).

#include <string>

enum zq_lock_status {
    ZQ_LOCK_OK = 0,
    ZQ_LOCK_ERR_OPEN,  // the lock file cannot be opened; errno kept
    ZQ_LOCK_HELD,      // the lock is taken (by another instance); errno kept
};

// The lock file of a program ("zqtrend", "zqalarm", ...) and a database
// name; a null or empty name stands for "/default".
std::string zq_lock_path(const char *program, const char *shm_name);

// Creates the lock file if needed (mode 0644) and takes the lock without
// waiting. On ZQ_LOCK_OK the descriptor stays open for the life of the
// process (closing it would drop the lock) and *fd_out gets it if not null.
zq_lock_status zq_lock_acquire(const char *program, const char *shm_name, int *fd_out = nullptr);
