// A small blocking HTTP/1.1 client for servers under test on 127.0.0.1:
// one request per connection.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tsup {

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
    int status = 0;    // 0: no connection, or no complete status line and headers
    std::string head;  // status line and headers, without the empty line
    std::string body;
    // The first header of that name (any case), its value without leading
    // blanks; "" when absent.
    std::string header(const std::string &name) const;
};

// Request bytes: the request line, "Host: 127.0.0.1", the headers given, and
// Content-Length when there is a body or the method is POST.
std::string http_format(const std::string &method, const std::string &target,
                        const std::string &body = "", const HttpHeaders &headers = {});

// Splits an answer into status, head and body ("" status 0 when it has no
// complete head).
HttpResponse http_parse(const std::string &raw);

// Sends raw bytes and keeps what the server answers until it closes or has
// sent the whole body its Content-Length announces. False only when the
// connection was refused, so a test expecting no answer ("") cannot pass
// against a server that is not there.
bool http_exchange(int port, const std::string &request, std::string *answer,
                   int timeout_ms = 10000);

// The same, but keeps everything until the server closes (or timeout_ms
// pass), bytes after an announced body included: for tests of what a server
// sends on one connection in all.
bool http_exchange_to_close(int port, const std::string &request, std::string *answer,
                            int timeout_ms = 10000);

HttpResponse http_request(int port, const std::string &method, const std::string &target,
                          const std::string &body = "", const HttpHeaders &headers = {},
                          int timeout_ms = 10000);

}  // namespace tsup
