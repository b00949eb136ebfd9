#pragma once
// Reader of the legacy INI configuration files.

#include <string>

// Reads an INI text and calls fn(section, key, value) for every key line.
template <typename F>
void srv_ini_parse(const std::string &text, F fn) {
    std::string section;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        size_t b = line.find_first_not_of(" \t\r");
        if (b == std::string::npos) {
            if (nl == text.size()) break;
            continue;
        }
        size_t e = line.find_last_not_of(" \t\r");
        line = line.substr(b, e - b + 1);
        if (line[0] == ';' || line[0] == '#' || line.compare(0, 2, "//") == 0) continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            section = line.substr(1, close == std::string::npos ? std::string::npos : close - 1);
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string k = line.substr(0, eq), v = line.substr(eq + 1);
        auto trim = [](std::string &s) {
            size_t b2 = s.find_first_not_of(" \t");
            size_t e2 = s.find_last_not_of(" \t");
            s = b2 == std::string::npos ? std::string() : s.substr(b2, e2 - b2 + 1);
        };
        trim(k);
        trim(v);
        fn(section, k, v);
        if (nl == text.size()) break;
    }
}
