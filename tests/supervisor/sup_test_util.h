// File and waiting helpers shared by the supervisor's process-level tests.
#pragma once

#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

namespace suptest {

inline std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void spit(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

inline bool exists(const std::string &p) {
    return access(p.c_str(), F_OK) == 0;
}

// Polls cond every 20 ms until it holds or the time is up.
inline bool wait_for(const std::function<bool()> &cond, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(int(seconds * 1000));
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return cond();
}

}  // namespace suptest
