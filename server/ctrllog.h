#pragma once
// Operator action log: daily files control<YYYYMMDD>.log, one JSON object
// per accepted write, the 150 newest files kept.

constexpr int CTRLLOG_KEEP_FILES = 150;

void ctrllog_init(const char *dir, bool enabled);
// Texts are escaped here; `name` arrives already escaped.
void ctrllog_analog(const char *ip, const char *page, const char *tag, const char *name,
                    double from, double to);
void ctrllog_discrete(const char *ip, const char *page, const char *tag, const char *name, int from,
                      int to);
void ctrllog_close();
