#pragma once

// Daily log files, one per program: "<dir>/<name>-YYYY-MM-DD.log", the 90
// newest kept. All calls are thread-safe (one process-wide mutex); the line
// prefix is per thread.

#include <cstdarg>
#include <cstddef>
#include <ctime>

// Number of daily files kept per program.
constexpr int LOG_KEEP_FILES = 90;

// Sets the directory (511 chars), the base name (127) and the calling
// thread's prefix (63). Closes a file opened under the previous settings.
void log_init(const char *dir, const char *name);

// Sets the calling thread's line prefix (63 chars); empty -> the base name.
void log_set_prefix(const char *text);

// Enables log_msg / log_err / log_write_ev (non-zero = on). All on by default.
void log_set_flags(int loginit, int logerror, int logwrite);

// When on, every written message is also printed on standard output
// (message text only, one newline), as the supervisor does.
void log_set_echo(bool on);

// Replaces the wall clock used for line stamps and file dates (tests);
// nullptr restores time().
void log_set_clock(time_t (*now)());

// One line each when the matching flag is set. Trailing newlines of the
// message are dropped; the line always ends with exactly one newline.
void log_msg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_err(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void log_write_ev(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// va_list forms of the three above.
void log_vmsg(const char *fmt, va_list ap) __attribute__((format(printf, 1, 0)));
void log_verr(const char *fmt, va_list ap) __attribute__((format(printf, 1, 0)));
void log_vwrite_ev(const char *fmt, va_list ap) __attribute__((format(printf, 1, 0)));

// Closes the open file; the next line reopens it.
void log_close();

// Path of the file a line written now would go to; returns its length
// (the path is cut to cap-1 characters).
size_t log_current_path(char *out, size_t cap);
