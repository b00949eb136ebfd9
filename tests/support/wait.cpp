#include "tests/support/wait.h"

#include <chrono>
#include <thread>

#include "tests/support/files.h"

namespace tsup {

long long now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool wait_for(const std::function<bool()> &cond, int timeout_ms) {
    long long end = now_ms() + timeout_ms;
    while (now_ms() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

bool wait_for_text(const std::string &path, const std::string &needle, int timeout_ms,
                   size_t count) {
    return wait_for([&] { return count_of(read_file(path), needle) >= count; }, timeout_ms);
}

}  // namespace tsup
