#pragma once
// Acknowledgement requests (ack.req): the server appends one line per
// request, zqalarm takes the whole file. Neither side may lose a line: the
// appender writes each line with one O_APPEND write under flock, and the
// taker renames the file away under the same lock before reading it.

#include <stddef.h>

#include <string>
#include <vector>

constexpr size_t ALARM_ACK_LINE_MAX = 127;

struct alarm_ack_req {
    long long id = 0;
    char ip[48] = "";
};

// One line "<journal id> <ip>"; 0, or -1 for a malformed or overlong line.
int alarm_ack_parse_line(const char *line, size_t len, alarm_ack_req *out);
// Every well-formed line of a request file's text.
void alarm_ack_parse(const std::string &text, std::vector<alarm_ack_req> *out);

// Server side: appends "<id> <ip>\n" to <dir>/ack.req. 0, or -1 (errno set)
// when the file cannot be opened or written.
int alarm_ack_append(const std::string &dir, long long id, const char *ip);

// zqalarm side, called once per turn. A waiting ack.req is renamed to the
// work file under the appenders' lock and read on the next call, one turn
// later, so that an appender that does not lock (an older server) has long
// finished its write into the renamed file. Returns 1 with the requests of
// the work file in *out (apply them, then call alarm_ack_done; a crash in
// between re-applies them, which changes nothing), 0 when a request file
// was set aside for the next call, -1 when nothing waits.
int alarm_ack_take(const std::string &dir, std::vector<alarm_ack_req> *out);
void alarm_ack_done(const std::string &dir);
