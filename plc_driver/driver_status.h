#pragma once
// ./run/zqlogix.status: per-connection figures (passes, requests of the last
// pass, pass time, errors, reconnects) for the server's /metrics. Written by
// the main thread, never by a poll thread, so a slow disk cannot stall a pass.

#include <string>

#include "driver_poll.h"

constexpr const char *DRIVER_STATUS_PATH = "./run/zqlogix.status";

// The file's JSON text for the first n connections at wall time now_ms.
std::string driver_status_text(const logix_conn *conns, int n, int64_t now_ms);

// Rewrites the file atomically; 0, or -1 (the caller logs once).
int driver_status_write(const logix_conn *conns, int n, int64_t now_ms);
