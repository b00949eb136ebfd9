#pragma once
// Controllers: state, clocks and the automatic clock synchronisation.

#include <string>
#include <vector>

#include "common/shm.h"

struct srv_state;

struct rt_clock {
    int rc;  // 0, or -1 no database, -2 old driver, -3 offline, -4 timeout,
             // -5 controller refused, -6 no such controller
    long long plc_us, host_us;
};

// Reads (or with `sync` sets from the host) the clock of controller idx
// through the driver; one request at a time, up to 2 s.
rt_clock rt_plc_clock(srv_state *st, long idx, bool sync);
// "<ip>\backplane\<slot>", the name of a controller in the autosync list.
std::string rt_plc_path(const ShmPlcBlock *b);

bool rt_autosync_enabled(srv_state *st, const char *path);
// Switches autosync of one controller and saves the list to config.yaml.
void rt_autosync_set(srv_state *st, const std::string &path, bool on);
// Reads the autosync list from config.yaml (logix/time/autosync).
void rt_autosync_load(srv_state *st);
// Once a second from the watch thread: compares the clocks of controllers
// with autosync on when they connect (at most every 5 minutes) and at the
// start of a day, and sets those that drifted past the threshold.
void rt_autosync_tick(srv_state *st);

// Controller path of one autosync entry as read from config.yaml. Older
// files hold entries written with raw backslashes, which the reader's
// escapes turned into "<ip>backplane<slot>": such an entry (no backslash,
// dotted IPv4, digits) is read as "<ip>\backplane\<slot>".
std::string autosync_entry_path(const char *text);

// Replaces the logix/time/autosync list of config.yaml text by `paths`
// (the threshold key is added with a new list when missing); every other
// line stays as it was. Returns a YAML_EDIT_* code; the text is unchanged
// on error.
int autosync_rewrite(std::string *text, const std::vector<std::string> &paths, int threshold);
