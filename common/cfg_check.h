#pragma once
// Check of a config.yaml text before it is saved: the mistakes the YAML
// subset and the modules would otherwise swallow silently (tabs, stray
// lines, keys nobody reads, malformed PLC groups and item lines, two
// writers for one database slot), each tied to its line.

#include <string>
#include <vector>

constexpr int CFG_CHECK_MAX_ISSUES = 64;
constexpr int CFG_CHECK_MSG_MAX = 219;

enum { CFG_ERROR = 0, CFG_WARNING = 1 };

struct cfg_issue {
    int line;      // 1-based; 0 when not tied to a line
    int severity;  // CFG_ERROR or CFG_WARNING
    std::string msg;
};

// Fills *out with at most CFG_CHECK_MAX_ISSUES issues (later ones are
// dropped); returns their count, or -1 when working memory cannot be had.
int cfg_check(const std::string &text, std::vector<cfg_issue> *out);
bool cfg_check_has_errors(const std::vector<cfg_issue> &issues);

// The rules shared with the PLC group editor: exactly four dot-separated
// numbers below 256; a takt that is a whole number of at least 1.
bool cfg_ipv4_ok(const char *text);
bool cfg_takt_ok(const char *text);
// The messages those rules give.
std::string cfg_ipv4_msg(const char *text);
std::string cfg_takt_msg(const char *text);
