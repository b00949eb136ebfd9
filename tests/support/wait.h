// Waiting for something another process does, without fixed sleeps.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tsup {

// Milliseconds of the monotonic clock.
long long now_ms();

// Polls cond every 10 ms until it holds or timeout_ms pass; the last check
// is made at the deadline, so a slow host cannot make it miss by one poll.
bool wait_for(const std::function<bool()> &cond, int timeout_ms = 10000);

// Waits until the file holds needle at least count times.
bool wait_for_text(const std::string &path, const std::string &needle, int timeout_ms,
                   size_t count = 1);

}  // namespace tsup
