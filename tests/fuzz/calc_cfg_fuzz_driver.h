// The calc configuration loader on arbitrary input, shared by the fuzz
// target and the corpus replay: the text before a line "%%" is config.yaml,
// the rest is calc.st. The server checks posted programs with this code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "calc/calc_cfg_int.h"

inline void calc_cfg_fuzz_one(const uint8_t *data, size_t size) {
    std::string in(reinterpret_cast<const char *>(data), size);
    size_t sep = in.find("\n%%\n");
    std::string yaml =
        sep == std::string::npos ? "calc:\n  items:\n    - A5, dint, five\n" : in.substr(0, sep);
    std::string prog = sep == std::string::npos ? in : in.substr(sep + 4);
    for (int validate = 0; validate < 2; validate++) {
        calc_cfg cfg;
        calc_cfg_load_text(&cfg, yaml.c_str());
        std::string text = prog.c_str();  // the loader reads up to a NUL, as from a file
        cx_tree root;
        char err[256];
        int line = 0, col = 0;
        calc_st_parse_text(text.data(), &cfg, &root, validate, err, sizeof err, &line, &col);
        calc_sched_build(&cfg);
        for (const calc_sched &s : cfg.scheds)
            if (s.value)
                cx_eval(
                    s.value.get(), [](void *, int, int, double *) { return -1; }, nullptr);
    }
    calc_check_result r;
    calc_st_check(prog.data(), prog.size(), nullptr, &r);
}
