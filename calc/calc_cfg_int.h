#pragma once
// Helpers shared by the configuration loader's files.

#include "calc/calc_cfg.h"

void calc_note(calc_cfg *cfg, int line, bool error, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
// Builds the schedule list from cfg->doc; entries with the same text as
// before keep their firing marks.
void calc_sched_build(calc_cfg *cfg);
bool calc_name_taken(const calc_cfg *cfg, const std::string &name);
