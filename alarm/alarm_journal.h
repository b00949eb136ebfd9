#pragma once
// The daily alarm journal (JSON Lines, one record per alarm), journal ids
// and their dates, local time stamps, and the active-list file. Shared by
// zqalarm, which writes these files, and the server, which reads them.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

constexpr size_t ALARM_JOURNAL_MAX = 8192;
// Journal id = YYYYMMDD * ALARM_ID_DAY + sequence (1, 2, ...).
constexpr long long ALARM_ID_DAY = 100000;

struct alarm_record {
    long long id = 0;
    char ts[32] = "";
    long long event_id = 0;
    char desc[256] = "";
    char expr[160] = "";
    char params[96] = "[]";
    char cond[8] = "gte";
    int lvl = 0;
    int station = 0;
    char clear_ts[32] = "";
    char ack_ts[32] = "";
    char ack_ip[48] = "";
    char delivered_ts[32] = "";
    // In memory only: raise time, and a counter bumped by every change so
    // that a push started before a change does not mark it delivered.
    int64_t ts_ms = 0;
    uint32_t version = 0;
};

// One line of a journal file: a record, or a line that did not parse as one,
// kept verbatim so that a rewrite never loses it.
struct alarm_jline {
    bool is_record = false;
    alarm_record rec;
    std::string raw;
};

// Appends the record's line (without a newline); every text is escaped.
void alarm_record_append(std::string *out, const alarm_record &r);
std::string alarm_record_line(const alarm_record &r);
// 0, or -1 when the line is not a JSON object with a numeric id above 0.
// Missing texts are empty, params "[]", cond "gte".
int alarm_record_parse(const char *line, size_t len, alarm_record *r);

// Splits a journal file's text into lines (empty ones dropped); any length.
void alarm_journal_parse(const std::string &text, std::vector<alarm_jline> *out);
// The file text: every line followed by a newline.
void alarm_journal_format(const std::vector<alarm_jline> &lines, std::string *out);

// YYYYMMDD of a journal id; 0 when the id carries no real date.
int alarm_id_ymd(long long id);
// True for a real calendar date YYYYMMDD (years 1900..9999).
bool alarm_ymd_valid(int ymd);
// "DDMMYYYY" of YYYYMMDD, the day text of journal file names.
std::string alarm_day_text(int ymd);
// "<dir>/journal-DDMMYYYY.jsonl".
std::string alarm_journal_path(const std::string &dir, int ymd);
// YYYYMMDD of a "journal-DDMMYYYY.jsonl" file name; 0 for other names.
int alarm_journal_name_ymd(const char *name);
// YYYYMMDD of a "YYYY-MM-DD" text; 0 when it is not a real date.
int alarm_parse_iso_date(const char *text);

// Local calendar day YYYYMMDD of a wall-clock time in ms.
int alarm_local_ymd(int64_t ms);
// Local "%Y-%m-%dT%H:%M:%S", with ".%03d" milliseconds when with_ms.
void alarm_local_iso(int64_t ms, bool with_ms, char *out, size_t cap);
// Back from such a text (local time, milliseconds optional); 0 when fewer
// than six fields are present.
int64_t alarm_parse_local_iso(const char *text);

// Changes one record of a day's file in place (through a temporary file):
// clear_ts when given and still empty; ack_ts/ack_ip when given and not yet
// acknowledged; each change empties delivered_ts. Unparseable lines are
// kept. Returns 1 when the id was found (*changed tells whether anything
// changed), 0 when not found or the file is missing, -1 when it could not
// be rewritten.
int alarm_patch_day(const std::string &dir, long long id, const char *clear_ts, const char *ack_ts,
                    const char *ack_ip, bool *changed);

// One entry of alarms_active.json.
struct alarm_active_entry {
    long long event_id = 0;
    long long journal_id = 0;
    int station = 0;
    char since[32] = "";
};
// Entries of an active-file text; -1 when it is not such a file.
int alarm_active_parse(const std::string &text, std::vector<alarm_active_entry> *out);
