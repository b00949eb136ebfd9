// One run of the push input checks, shared by the fuzz target and the
// corpus replay: aborts when an accepted value breaks what the recorder
// relies on, and says what was accepted.
#pragma once

#include <stdlib.h>
#include <strings.h>
#include <time.h>

#include <string>

#include "server/eng_push.h"

inline std::string eng_push_fuzz_field(const std::string &in, size_t *pos) {
    size_t nl = in.find('\n', *pos);
    std::string f = in.substr(*pos, nl == std::string::npos ? std::string::npos : nl - *pos);
    *pos = nl == std::string::npos ? in.size() : nl + 1;
    return f;
}

inline std::string eng_push_fuzz_run(const std::string &in) {
    size_t pos = 0;
    std::string url = eng_push_fuzz_field(in, &pos);
    std::string token = eng_push_fuzz_field(in, &pos);
    std::string date = eng_push_fuzz_field(in, &pos);
    std::string why;
    bool url_ok = eng_push_url_ok(url, &why);
    if (url_ok) {
        if (url.size() > ENG_PUSH_URL_MAX || strncasecmp(url.c_str(), "http://", 7) != 0) abort();
        for (size_t i = 7; i < url.size(); i++)
            if (url[i] <= ' ' || url[i] >= 0x7f || (url[i] == '/' && i + 1 != url.size())) abort();
    } else if (why.empty()) {
        abort();
    }
    bool token_ok = eng_push_token_ok(token, &why);
    if (token_ok) {
        if (token.empty() || token.size() > ENG_PUSH_TOKEN_MAX) abort();
        for (unsigned char ch : token)
            if (ch < 0x21 || ch > 0x7e) abort();
    }
    unsigned ymd = eng_push_ymd(date);
    if (ymd) {
        // The day must survive a round trip through the C library's calendar.
        struct tm t = {};
        t.tm_year = (int)(ymd / 10000) - 1900;
        t.tm_mon = (int)(ymd / 100 % 100) - 1;
        t.tm_mday = (int)(ymd % 100);
        t.tm_hour = 12;
        time_t s = timegm(&t);
        struct tm back;
        gmtime_r(&s, &back);
        unsigned again =
            (unsigned)((back.tm_year + 1900) * 10000 + (back.tm_mon + 1) * 100 + back.tm_mday);
        if (again != ymd || std::to_string(ymd) != date) abort();
        if (eng_push_days_between(ymd, ymd) != 1) abort();
    }
    return std::string(url_ok ? "url" : "-") + " " + (token_ok ? "token" : "-") + " " +
           std::to_string(ymd);
}
