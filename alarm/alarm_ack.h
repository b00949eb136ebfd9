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

// zqalarm side: the requests waiting in <dir>/ack.req (and any left in the
// work file by an interrupted earlier take). The work file is removed by
// alarm_ack_done once the requests are applied, so a crash in between
// re-applies them (applying twice changes nothing). Returns the number of
// requests; *had_file tells whether any request file existed.
int alarm_ack_take(const std::string &dir, std::vector<alarm_ack_req> *out, bool *had_file);
void alarm_ack_done(const std::string &dir);
