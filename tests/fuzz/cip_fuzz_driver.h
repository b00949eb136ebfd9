#pragma once
// One fuzz input as a controller's answers: the first byte picks a client
// operation, the second how the session stands (connected or not), the rest
// is everything the controller sends back, read by the client through a
// socketpair whose far end is half-closed once the bytes are in. Shared by
// the fuzz target and the corpus replay test.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "plc_driver/cip.h"
#include "plc_driver/eip.h"

namespace cip_fuzz {

enum op : uint8_t {
    OP_READ_REAL,
    OP_READ_SINGLE,
    OP_READ_COUNT,
    OP_READ_BOOL,
    OP_READ_MULTI,
    OP_WRITE_NUMERIC,
    OP_WRITE_MASKED,
    OP_WRITE_BOOL,
    OP_FIND_INSTANCE,
    OP_GET_SYMBOLS,
    OP_IDENTITY,
    OP_CONTROLLER_ATTRS,
    OP_READ_TIME,
    OP_WRITE_TIME,
    OP_FORWARD_OPEN,
    OP_FORWARD_CLOSE,
    OP_RAW_SEND,
    OP_LARGE_OPEN,
    OP_PIPELINED,
    OP_COUNT
};

// The operation's own result: 0 done, 1 refused by the controller, -1
// transport failure (or, for the instance search, the instance found).
inline int run_op(eip_session *s, uint8_t op, uint8_t arg) {
    uint8_t path[CIP_PATH_MAX];
    int path_len = cip_build_tag_path("Tag", arg, arg & 1, path, sizeof path);
    if (path_len < 0) abort();
    int count = (arg % 8) + 1;
    int r = 0;
    switch (op % OP_COUNT) {
        case OP_READ_REAL: {
            double values[8];
            uint16_t type;
            int n = -1;
            r = cip_read_real(s, "Tag", arg, count, values, &type, &n);
            if (r == 0 && (n < 0 || n > count)) abort();
            break;
        }
        case OP_READ_SINGLE: {
            uint8_t value[8];
            uint32_t size;
            uint16_t type;
            r = cip_read_tag_single(s, path, (size_t)path_len, value, &size, &type);
            if (r == 0 && size > 8) abort();
            break;
        }
        case OP_READ_COUNT: {
            // A tight buffer, so that replies longer than it must be refused.
            uint8_t buffer[24];
            uint32_t size;
            uint16_t type;
            int n = 0;
            r = cip_read_tag_count(s, path, (size_t)path_len, count, buffer, sizeof buffer, &size,
                                   &type, &n);
            if (r == 0 && (n < 0 || n > count)) abort();
            break;
        }
        case OP_READ_BOOL: {
            uint8_t bits[64];
            r = cip_read_bool(s, "Flags", arg, count * 8, bits);
            break;
        }
        case OP_READ_MULTI: {
            cip_multi_item items[4];
            cip_multi_result results[4];
            int n = (arg % 4) + 1;
            for (int i = 0; i < n; i++)
                items[i] = {path, (size_t)path_len, (uint16_t)(i + 1)};
            r = cip_read_multi(s, items, n, results);
            if (r == 0)
                for (int i = 0; i < n; i++)
                    if (results[i].size > sizeof results[i].value) abort();
            break;
        }
        case OP_WRITE_NUMERIC:
            r = cip_write_numeric(s, "Tag", arg, CIP_TYPE_DINT, 7.0);
            break;
        case OP_WRITE_MASKED:
            r = cip_write_masked(s, path, (size_t)path_len, 1 << (arg % 3), 1u, ~0u);
            break;
        case OP_WRITE_BOOL:
            r = cip_write_bool(s, "Flags", arg, 1);
            break;
        case OP_FIND_INSTANCE:
            r = (int)cip_find_tag_instance(s, "Tag");
            break;
        case OP_GET_SYMBOLS: {
            cip_symbol symbols[8];
            int n = -1;
            int max = (arg % 8) + 1;
            r = cip_get_symbols(s, symbols, max, &n);
            if (r == 0) {
                if (n < 0 || n > max) abort();
                for (int i = 0; i < n; i++)
                    if (strnlen(symbols[i].name, sizeof symbols[i].name) == sizeof symbols[i].name)
                        abort();
            }
            break;
        }
        case OP_IDENTITY:
        case OP_CONTROLLER_ATTRS: {
            uint8_t out[64];
            size_t cap = (arg % sizeof out) + 1;
            size_t len = 0;
            r = (op % OP_COUNT) == OP_IDENTITY ? cip_read_identity(s, out, cap, &len)
                                               : cip_read_controller_attrs(s, out, cap, &len);
            if (r == 0 && len > cap) abort();
            break;
        }
        case OP_READ_TIME: {
            int64_t us;
            r = cip_read_plc_time(s, &us);
            break;
        }
        case OP_WRITE_TIME:
            r = cip_write_plc_time(s, 1700000000000000LL);
            break;
        case OP_FORWARD_OPEN: {
            // The rest of the stream then answers a read over the new connection.
            uint8_t value[8];
            r = cip_forward_open(s);
            if (r == 0) r = cip_read_tag_single(s, path, (size_t)path_len, value, nullptr, nullptr);
            break;
        }
        case OP_FORWARD_CLOSE:
            r = cip_forward_close(s);
            break;
        case OP_LARGE_OPEN: {
            uint8_t value[8];
            uint8_t status = 0;
            r = cip_large_forward_open(s, (uint16_t)(501 + arg * 14), &status);
            if (r == 0 && (cip_conn_budget(s) < 499 || cip_conn_budget(s) > 4000)) abort();
            if (r == 0) r = cip_read_tag_single(s, path, (size_t)path_len, value, nullptr, nullptr);
            break;
        }
        case OP_PIPELINED: {
            // A packet sent and its answer taken apart the way the pass over
            // a large connection does, then a Read Tag answer read as bits.
            cip_multi_item items[8];
            cip_multi_result results[8];
            int n = (arg % 8) + 1;
            for (int i = 0; i < n; i++)
                items[i] = {path, (size_t)path_len, 1};
            uint8_t req[512];
            int len = cip_build_multi_read(items, n, req, sizeof req);
            if (len < 0) abort();
            for (int round = 0; round < 2; round++) {
                uint8_t reply[CIP_REPLY_MAX];
                size_t rn = sizeof reply;
                if (eip_unitdata_send(s, req, (size_t)len) != 0 ||
                    eip_unitdata_recv(s, reply, &rn) != 0)
                    return -1;
                if (rn > sizeof reply) abort();
                const uint8_t *d = nullptr;
                size_t dn = 0;
                int st = cip_reply_data(reply, rn, &d, &dn);
                if (st >= 0 && (d < reply || d + dn > reply + rn)) abort();
                if (round == 0) {
                    r = cip_parse_multi_read(reply, rn, n, results);
                    if (r == 0)
                        for (int i = 0; i < n; i++)
                            if (results[i].size > sizeof results[i].value) abort();
                } else if (st >= 0) {
                    uint8_t bits[100];
                    int next = 0;
                    r = cip_bits_from_reply(d, dn, arg, arg / 32, 100, bits, &next);
                    if (next < 0 || next > 100) abort();
                }
            }
            break;
        }
        case OP_RAW_SEND: {
            uint8_t out[CIP_REPLY_MAX];
            size_t len = sizeof out;
            static const uint8_t req[] = {0x01, 0x02, 0x20, 0x01, 0x24, 0x01};
            r = cip_request(s, req, sizeof req, out, &len);
            break;
        }
    }
    return r;
}

// The operation's result; CIP_FUZZ_SKIPPED for inputs too short or too long.
constexpr int CIP_FUZZ_SKIPPED = -100;
inline int run_one(const uint8_t *data, size_t size) {
    if (size < 3 || size > 65536) return CIP_FUZZ_SKIPPED;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) abort();
    // Room for every request the client may send before it gives up.
    int big = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    size_t sent = 0;
    while (sent < size - 3) {
        ssize_t n = send(sv[1], data + 3 + sent, size - 3 - sent, MSG_NOSIGNAL);
        if (n <= 0) abort();
        sent += (size_t)n;
    }
    shutdown(sv[1], SHUT_WR);
    eip_session s;
    s.sock = sv[0];
    s.session_handle = 0x11223344;
    s.slot = data[1] >> 1 & 7;
    s.cip_connected = data[1] & 1;
    s.ot_conn_id = 0x01020304;
    s.to_conn_id = 0x05060708;
    int r = run_op(&s, data[0], data[2]);
    close(sv[0]);
    close(sv[1]);
    return r;
}

}  // namespace cip_fuzz
