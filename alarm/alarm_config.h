#pragma once
// Alarm definitions (alarm.json): levels, stations and events, and the small
// expression language the events compare. Loading never evaluates anything;
// the engine (alarm_engine.h) owns the run-time state kept in each event.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

constexpr int ALARM_TAKT_MIN_MS = 50;
constexpr int ALARM_TAKT_DEFAULT_MS = 500;
constexpr size_t ALARM_MAX_LEVELS = 8;
constexpr size_t ALARM_MAX_STATIONS = 64;
constexpr size_t ALARM_MAX_EVENTS = 1024;

enum alarm_cond : int {
    ALARM_GT = 0,
    ALARM_GTE = 1,
    ALARM_LT = 2,
    ALARM_LTE = 3,
    ALARM_EQU = 4,
    ALARM_NEQ = 5,
};

struct alarm_level_def {
    int lvl = 0;
    char color[16] = "#94a3b8";
    char sound[64] = "";
};

struct alarm_station {
    int id = 0;
    char desc[96] = "";
};

// kind 'A' analog channel, 'D' discrete channel, 'K' constant.
struct alarm_operand {
    char kind = 'K';
    int channel = 0;
    double value = 0;
};

// op 0 = no operation, else one of '*', '+', '-', '/'.
struct alarm_expr {
    alarm_operand left;
    char op = 0;
    alarm_operand right;
};

struct alarm_event {
    long long id = 0;
    char expr1_text[64] = "";
    char expr2_text[64] = "";
    char desc[256] = "";
    int cond = ALARM_GTE;
    double delta = 0;
    int lvl = 0;
    int station = 0;
    bool abs = false;
    bool check_quality = false;
    alarm_expr expr1, expr2;
    bool valid = false;
    // Run-time state, kept by the engine.
    bool active = false;
    int64_t since_ms = 0;
    long long journal_id = 0;
};

struct alarm_config {
    int takt_ms = ALARM_TAKT_DEFAULT_MS;
    char stations_default[96] = "-станция не указана-";
    std::vector<alarm_level_def> levels;
    std::vector<alarm_station> stations;
    std::vector<alarm_event> events;
};

// Defaults: takt, station label, the three default levels, no events.
void alarm_config_defaults(alarm_config *cfg);
// Defaults, then the definitions of a JSON text. 0, or -1 when the text is
// not valid JSON (the record then holds the defaults only).
int alarm_config_parse(alarm_config *cfg, const char *text, size_t len);
// Same from a file; -1 also when it cannot be read.
int alarm_config_load(alarm_config *cfg, const char *path);

// "gt" 0 ... "neq" 5; anything else (or null) is gte.
int alarm_cond_parse(const char *text);
// ">", ">=", "<", "<=", "=", "!=", "?" for anything else.
const char *alarm_cond_symbol(int kind);
// "gt" ... "neq", "gte" for anything else.
const char *alarm_cond_name(int kind);

// One optional binary operation over channels and constants; 0 or -1.
int alarm_expr_parse(const char *text, alarm_expr *expr);
// Current value of a channel: stores it and returns 0 when its quality is
// good, non-zero otherwise (the value is used either way).
typedef int (*alarm_value_fn)(void *context, char kind, int channel, double *value_out);
// Evaluates; *bad becomes 1 when any channel read was not good. Division by
// exactly 0 gives 0.
double alarm_expr_eval(const alarm_expr *expr, alarm_value_fn fn, void *context, int *bad);
// Channel numbers of the expression (kind not included); returns the count.
int alarm_expr_tags(const alarm_expr *expr, int *ids, int max);

// Copies src into dst (capacity cap), cut on a UTF-8 character boundary so
// that a cut never leaves half a character.
char *alarm_copy_utf8(char *dst, size_t cap, const char *src);
