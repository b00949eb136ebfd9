#pragma once
// Push of the active list and undelivered journal records to a central
// alarm server over plain HTTP, from a notifier thread that wakes on a
// request or every 30 seconds.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

struct alarm_url {
    char host[128] = "";
    char port[16] = "80";
};
// "http://host[:port][/path]"; 0, or -1 when it does not start with http://
// or has no host. The path is ignored.
int alarm_url_parse(const char *url, alarm_url *out);

// Limits of one push. The reply is capped so a misbehaving server cannot
// make the program grow without bound.
struct alarm_http_limits {
    int connect_ms = 3000;
    int io_ms = 3000;
    int total_ms = 10000;
    size_t reply_max = 1u << 20;
};

// Result of reading a reply: success only for a "HTTP/1.x 200" status line
// and a complete header; *body gets what follows the header.
bool alarm_http_reply_ok(const std::string &reply, std::string *body);

// POSTs body to http://host:port/api/alarms/push. Returns true on success
// with the reply's body. `abort` (may be null) ends the wait early.
bool alarm_http_push(const alarm_url &url, const std::string &body, const alarm_http_limits &lim,
                     const std::atomic<bool> *abort, std::string *reply_body);

// The server's "cfg_crc" of a reply body (8 characters), or "".
std::string alarm_reply_cfg_crc(const std::string &body);

struct alarm_notifier {
    alarm_url url;
    alarm_http_limits limits;
    int period_ms = 30000;
    // Builds one push and takes its outcome; both run on the notifier thread.
    std::function<void(std::string *body)> build;
    std::function<void(bool ok, const std::string &reply_body)> result;

    std::mutex mu;
    std::condition_variable cv;
    bool requested = false;
    std::atomic<bool> stop{false};
    std::thread thread;
};

// Starts the thread and requests a first push at once.
void alarm_notifier_start(alarm_notifier *n);
// Requests a push as soon as possible.
void alarm_notifier_kick(alarm_notifier *n);
// Stops the thread (a push in flight is abandoned) and joins it.
void alarm_notifier_stop(alarm_notifier *n);
