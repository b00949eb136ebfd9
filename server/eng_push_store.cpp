// The files the editor writes for the recorder's push workers: the token
// store and the back-fill request, and the checks of what goes into them.

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/atomic_file.h"
#include "common/json.h"
#include "common/parse_util.h"
#include "server/eng_push.h"

namespace {

// The recorder reads the store only up to this size.
constexpr size_t STORE_MAX = 1u << 20;

struct tok_entry {
    std::string url, token;
};

// Load, change and save of the store run one at a time.
std::mutex &store_mutex() {
    static std::mutex mu;
    return mu;
}

// Only objects count, an entry without url is dropped, at most 8 are kept.
// A missing or blank store is empty; -1 when it cannot be read or parsed.
int load_store(const std::string &path, std::vector<tok_entry> *out) {
    out->clear();
    std::string text;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 && errno == ENOENT) return 0;
    if (zq_read_file_max(path.c_str(), STORE_MAX, &text) != 0) return -1;
    json_ptr root(json_parse(text.c_str()));
    const json_node *list = json_get(root.get(), "tokens");
    // A damaged store is kept for the engineer to look at, not overwritten.
    if (!list && text.find_first_not_of(" \t\r\n") != std::string::npos) return -1;
    for (const json_node *e = list ? list->child : nullptr; e; e = e->next) {
        if ((int)out->size() >= ENG_PUSH_MAX_TOKENS) break;
        if (e->type != JSON_OBJECT) continue;
        std::string url = json_gets(e, "url", "");
        if (url.empty()) continue;
        out->push_back({url.substr(0, ENG_PUSH_URL_MAX),
                        std::string(json_gets(e, "token", "")).substr(0, ENG_PUSH_TOKEN_MAX)});
    }
    return 0;
}

int save_store(const std::string &path, const std::vector<tok_entry> &list) {
    std::string s = "{\"tokens\":[";
    const char *sep = "";
    for (const tok_entry &e : list) {
        s += std::string(sep) + "{\"url\":\"" + json_escape_str(e.url) + "\",\"token\":\"" +
             json_escape_str(e.token) + "\"}";
        sep = ",";
    }
    s += "]}\n";
    // Holds secrets: never readable by others, not even while written.
    return atomic_file_write(path, s, 0600);
}

bool is_digits(const std::string &s) {
    if (s.empty()) return false;
    for (char ch : s)
        if (ch < '0' || ch > '9') return false;
    return true;
}

bool leap(unsigned y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

// Days since 1970-01-01 of a valid date (proleptic Gregorian).
long day_number(unsigned ymd) {
    long y = ymd / 10000, m = ymd / 100 % 100, d = ymd % 100;
    y -= m <= 2;
    long era = y / 400;
    long yoe = y - era * 400;
    long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

}  // namespace

bool eng_push_url_ok(const std::string &url, std::string *why) {
    static const char FORM[] = "очікується http://host[:port]";
    if (url.empty()) return *why = "порожній url", false;
    if (url.size() > ENG_PUSH_URL_MAX) return *why = "url довший за 255 символів", false;
    if (strncasecmp(url.c_str(), "http://", 7) != 0)
        return *why = std::string("лише http:// (без TLS): ") + FORM, false;
    std::string rest = url.substr(7);
    size_t end = rest.find_first_of("/?#");
    std::string hostport = rest.substr(0, end);
    if (end != std::string::npos && rest.substr(end) != "/")
        return *why =
                   "url з шляхом не підтримується: шляхи /api/trend/... сервер трендів "
                   "додає сам — вкажіть лише http://host[:port]",
               false;
    for (char ch : hostport)
        if (!(isalnum((unsigned char)ch) || ch == '.' || ch == '-' || ch == '_' || ch == ':'))
            return *why = std::string("недопустимий символ в адресі сервера: ") + FORM, false;
    std::string host = hostport;
    size_t colon = hostport.find(':');
    if (colon != std::string::npos) {
        std::string port = hostport.substr(colon + 1);
        host = hostport.substr(0, colon);
        long p = is_digits(port) && port.size() <= 5 ? strtol(port.c_str(), nullptr, 10) : 0;
        if (p < 1 || p > 65535) return *why = "порт має бути 1..65535", false;
    }
    if (host.empty()) return *why = std::string("немає адреси сервера: ") + FORM, false;
    return true;
}

bool eng_push_token_ok(const std::string &token, std::string *why) {
    if (token.empty()) return *why = "порожній токен", false;
    if (token.size() > ENG_PUSH_TOKEN_MAX) return *why = "токен довший за 127 символів", false;
    for (unsigned char ch : token)
        if (ch < 0x21 || ch > 0x7e)
            return *why = "токен: лише друковані символи ASCII, без пробілів і керівних", false;
    return true;
}

unsigned eng_push_ymd(const std::string &text) {
    if (text.size() != 8 || !is_digits(text)) return 0;
    unsigned v = (unsigned)strtoul(text.c_str(), nullptr, 10);
    unsigned y = v / 10000, m = v / 100 % 100, d = v % 100;
    static const unsigned mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1970 || m < 1 || m > 12 || d < 1) return 0;
    unsigned last = mdays[m - 1] + (m == 2 && leap(y) ? 1 : 0);
    return d <= last ? v : 0;
}

long eng_push_days_between(unsigned from, unsigned to) {
    return day_number(to) - day_number(from) + 1;
}

std::string eng_push_token_store(const char *yaml_path) {
    return zq_dir_of(yaml_path) + "/push_tokens.json";
}

int eng_push_token_set(const std::string &store, const std::string &url, const std::string &token,
                       std::string *why) {
    if (url.empty() || url.size() > ENG_PUSH_URL_MAX) return *why = "перевір url", -1;
    if (!eng_push_token_ok(token, why)) return -1;
    std::lock_guard<std::mutex> lk(store_mutex());
    std::vector<tok_entry> list;
    if (load_store(store, &list) != 0)
        return *why = "push_tokens.json не читається або пошкоджений — виправте чи видаліть його",
               -1;
    bool found = false;
    for (tok_entry &e : list)
        if (e.url == url) {
            e.token = token;
            found = true;
        }
    if (!found) {
        if ((int)list.size() >= ENG_PUSH_MAX_TOKENS)
            return *why = "сховище токенів заповнене (8 адрес) — видаліть непотрібні", -1;
        list.push_back({url, token});
    }
    if (save_store(store, list) != 0)
        return *why = std::string("не записати push_tokens.json: ") + strerror(errno), -1;
    return 0;
}

int eng_push_token_del(const std::string &store, const std::string &url, std::string *why) {
    if (url.empty()) return *why = "перевір url", -1;
    std::lock_guard<std::mutex> lk(store_mutex());
    std::vector<tok_entry> list;
    if (load_store(store, &list) != 0)
        return *why = "push_tokens.json не читається або пошкоджений — виправте чи видаліть його",
               -1;
    std::vector<tok_entry> kept;
    for (tok_entry &e : list)
        if (e.url != url) kept.push_back(std::move(e));
    if (kept.size() == list.size()) return 0;
    if (save_store(store, kept) != 0)
        return *why = std::string("не записати push_tokens.json: ") + strerror(errno), -1;
    return 0;
}

std::string eng_push_token_get(const std::string &store, const std::string &url) {
    std::lock_guard<std::mutex> lk(store_mutex());
    std::vector<tok_entry> list;
    if (load_store(store, &list) != 0) return "";
    for (const tok_entry &e : list)
        if (e.url == url) return e.token;
    return "";
}

int eng_push_backfill(const std::string &url, unsigned from, unsigned to, bool verify) {
    if (zq_mkdirs("run", 0755) != 0) return -1;
    std::string line = "{\"url\":\"" + json_escape_str(url) +
                       "\",\"from\":" + std::to_string(from) + ",\"to\":" + std::to_string(to) +
                       ",\"verify\":" + (verify ? "1" : "0") + "}\n";
    return atomic_file_write(std::string(ENG_PUSH_BACKFILL_FILE), line, 0644);
}
