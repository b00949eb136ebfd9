#pragma once
// A zqserver with the engineering editor on, and the requests an editor
// page makes to it.

#include <sys/stat.h>

#include <string>

#include "common/json.h"
#include "server_fixture.h"

namespace engtest {

using namespace srvtest;

inline std::string b64(const std::string &in) {
    static const char *tab = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (unsigned char ch : in) {
        v = (v << 8) | ch;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            out += tab[(v >> bits) & 63];
        }
    }
    if (bits > 0) out += tab[(v << (6 - bits)) & 63];
    while (out.size() % 4)
        out += '=';
    return out;
}

constexpr const char *PASSWORD = "pw-123";

struct eng_server : server_proc {
    explicit eng_server(const std::string &scada_extra = "", const std::string &extra = "")
        : server_proc(std::string("  eng_password: \"") + PASSWORD + "\"\n" + scada_extra, extra) {}

    headers auth(const std::string &bearer = "") const {
        if (bearer.empty()) return {{"Authorization", "Basic " + b64(std::string(":") + PASSWORD)}};
        return {{"Authorization", "Bearer " + bearer}};
    }
    response eget(const std::string &target, const std::string &bearer = "") {
        return parse(get(target, auth(bearer)));
    }
    response epost(const std::string &target, const std::string &body,
                   const std::string &bearer = "", headers extra = {}) {
        headers h = auth(bearer);
        h.push_back({"Content-Type", "application/json"});
        h.insert(h.end(), extra.begin(), extra.end());
        return parse(post(target, body, h));
    }
    // Today's audit lines.
    std::string audit() const { return tsup::read_dir_files(dir + "/logs", "eng_audit-"); }
};

// A member of a JSON answer as text ("" when absent).
inline std::string member(const std::string &body, const char *key) {
    json_ptr root(json_parse(body.c_str()));
    return json_gets(root.get(), key, "");
}

}  // namespace engtest
