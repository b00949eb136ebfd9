#pragma once
// A scripted EtherNet/IP peer on 127.0.0.1 for tests that need replies a
// well-behaved controller never sends. The handler sees each whole request
// (header included) and returns the bytes to answer; an empty answer sends
// nothing, and returning false from the handler closes the connection.

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "plc_driver/eip.h"
#include "tests/support/files.h"
#include "tests/support/net.h"
#include "tests/support/wait.h"

using bytes = std::vector<uint8_t>;

struct fake_peer {
    using handler_fn = std::function<bool(const bytes &req, bytes *reply)>;
    int lfd = -1;
    int port = 0;
    std::thread th;
    std::mutex lock;
    std::vector<bytes> requests;  // everything received, in order

    explicit fake_peer(handler_fn handler) {
        lfd = tsup::tcp_listen(&port);
        th = std::thread([this, handler] { serve(handler); });
    }
    ~fake_peer() {
        shutdown(lfd, SHUT_RDWR);
        close(lfd);
        th.join();
    }

    std::vector<bytes> received() {
        std::lock_guard<std::mutex> g(lock);
        return requests;
    }

  private:
    static bool read_n(int fd, uint8_t *p, size_t n) { return tsup::recv_n(fd, p, n, 10000); }
    void serve(handler_fn handler) {
        int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0) return;
        for (;;) {
            bytes req(EIP_HEADER_SIZE);
            if (!read_n(fd, req.data(), EIP_HEADER_SIZE)) break;
            size_t len = eip_get16(req.data() + 2);
            req.resize(EIP_HEADER_SIZE + len);
            if (len && !read_n(fd, req.data() + EIP_HEADER_SIZE, len)) break;
            {
                std::lock_guard<std::mutex> g(lock);
                requests.push_back(req);
            }
            bytes reply;
            bool go_on = handler(req, &reply);
            if (!reply.empty()) tsup::send_all(fd, reply.data(), reply.size());
            if (!go_on) break;
        }
        close(fd);
    }
};

// Encapsulation reply: header (command and handle of the request) plus data.
inline bytes eip_reply(const bytes &req, const bytes &data, uint32_t status = 0,
                       int length_override = -1) {
    bytes r(EIP_HEADER_SIZE);
    memcpy(r.data(), req.data(), EIP_HEADER_SIZE);
    eip_put16(r.data() + 2, (uint16_t)(length_override >= 0 ? length_override : data.size()));
    eip_put32(r.data() + 4, 0x1234);
    eip_put32(r.data() + 8, status);
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

// SendRRData / SendUnitData reply data around a CIP reply.
inline bytes cpf_rr(const bytes &cip) {
    bytes d(16, 0);
    eip_put16(d.data() + 6, 2);
    eip_put16(d.data() + 12, EIP_ITEM_UNCONNECTED_DATA);
    eip_put16(d.data() + 14, (uint16_t)cip.size());
    d.insert(d.end(), cip.begin(), cip.end());
    return d;
}
inline bytes cpf_unit(const bytes &cip, int item_len_override = -1) {
    bytes d(22, 0);
    eip_put16(d.data() + 6, 2);
    eip_put16(d.data() + 8, EIP_ITEM_CONNECTED_ADDRESS);
    eip_put16(d.data() + 10, 4);
    eip_put16(d.data() + 16, EIP_ITEM_CONNECTED_DATA);
    eip_put16(d.data() + 18,
              (uint16_t)(item_len_override >= 0 ? item_len_override : cip.size() + 2));
    d.insert(d.end(), cip.begin(), cip.end());
    return d;
}

// Standard handler: registers sessions, answers every data request with the
// bytes make_cip returns for its CIP request.
inline fake_peer::handler_fn cip_responder(std::function<bytes(const bytes &cip)> make_cip) {
    return [make_cip](const bytes &req, bytes *reply) {
        uint16_t cmd = eip_get16(req.data());
        if (cmd == EIP_CMD_REGISTER_SESSION) {
            *reply = eip_reply(req, bytes(req.begin() + 24, req.end()));
        } else if (cmd == EIP_CMD_SEND_RR_DATA) {
            *reply = eip_reply(req, cpf_rr(make_cip(bytes(req.begin() + 40, req.end()))));
        } else if (cmd == EIP_CMD_SEND_UNIT_DATA) {
            *reply = eip_reply(req, cpf_unit(make_cip(bytes(req.begin() + 46, req.end()))));
        } else {
            return false;
        }
        return true;
    };
}

// Captures this process's log lines in a temporary directory.
struct log_capture {
    tsup::TempDir dir{"eip-log"};
    log_capture() {
        log_init(dir.path.c_str(), "test");
        log_set_flags(1, 1, 1);
    }
    ~log_capture() { log_close(); }
    std::string text() {
        char path[600];
        log_current_path(path, sizeof path);
        return tsup::read_file(path);
    }
    bool has(const std::string &needle) { return text().find(needle) != std::string::npos; }
};

// Waits until the peer has received n requests.
inline bool wait_until_count(fake_peer &p, size_t n) {
    return tsup::wait_for([&] { return p.received().size() >= n; }, 5000);
}
