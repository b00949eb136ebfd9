#pragma once
// Runtime API of the operator pages: live values, polling, writes, PLC
// status and clocks, channel metadata, alarms and panel files.

#include <string>
#include <vector>

#include "server/server.h"

// True when the router hands this path to the runtime API.
bool api_is_runtime_path(const char *path);
// Answers one runtime API request.
void api_dispatch(int fd, http_request *req, router_ctx *ctx);

// Start-up: channel metadata, operator action log, autosync list. Prints
// the database messages of the start-up sequence.
void api_init(router_ctx *ctx);
// Tries to open the database when it is not open; logs on success when
// `log_it`. Returns true when it is open.
bool api_shm_open(router_ctx *ctx, bool log_it);
// Once a second from the watch thread: database retry and autosync.
void api_watch_tick(router_ctx *ctx);
// SIGUSR1: channel metadata from channels.json or the legacy tables.
void api_meta_reload(router_ctx *ctx);
void api_shutdown();

// Metadata loading and scaling, exposed for tests.
int meta_load(const char *a_base, const char *d_base);
bool meta_scale(int ch, double *code_min, double *code_max, float *low, float *high);

// config.yaml text with the logix/time/autosync list replaced by `paths`
// (a time block and the threshold key are added when missing); every other
// line stays as it was.
std::string autosync_rewrite(const std::string &text, const std::vector<std::string> &paths,
                             int threshold);

// Parses a tag name ("A12", "d5"): kind 'A' or 'D' and the number. The
// number must fit an int; no sign, no trailing text.
bool api_parse_tag(const char *s, char *kind, long *num);
