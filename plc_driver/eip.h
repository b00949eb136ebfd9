#pragma once
// EtherNet/IP encapsulation session: one TCP connection to one controller,
// registered as a session, carrying CIP requests either unconnected
// (SendRRData) or connected (SendUnitData). Every multi-byte field on the
// wire is little-endian.

#include <cstddef>
#include <cstdint>
#include <cstring>

enum : uint16_t {
    EIP_CMD_NOP = 0x0000,
    EIP_CMD_LIST_SERVICES = 0x0004,
    EIP_CMD_LIST_IDENTITY = 0x0063,
    EIP_CMD_LIST_INTERFACES = 0x0064,
    EIP_CMD_REGISTER_SESSION = 0x0065,
    EIP_CMD_UNREGISTER_SESSION = 0x0066,
    EIP_CMD_SEND_RR_DATA = 0x006F,
    EIP_CMD_SEND_UNIT_DATA = 0x0070,
};

enum : uint16_t {
    EIP_ITEM_NULL_ADDRESS = 0x0000,
    EIP_ITEM_LIST_IDENTITY = 0x000C,
    EIP_ITEM_CONNECTED_ADDRESS = 0x00A1,
    EIP_ITEM_CONNECTED_DATA = 0x00B1,
    EIP_ITEM_UNCONNECTED_DATA = 0x00B2,
};

// Encapsulation status codes (header offset 8).
enum : uint32_t {
    EIP_STATUS_SUCCESS = 0x0000,
    EIP_STATUS_INVALID_COMMAND = 0x0001,
    EIP_STATUS_NO_MEMORY = 0x0002,
    EIP_STATUS_INCORRECT_DATA = 0x0003,
    EIP_STATUS_INVALID_SESSION = 0x0064,
    EIP_STATUS_INVALID_LENGTH = 0x0065,
    EIP_STATUS_UNSUPPORTED_PROTOCOL = 0x0069,
};

constexpr int EIP_PORT = 44818;
constexpr size_t EIP_HEADER_SIZE = 24;
constexpr size_t EIP_DATA_MAX = 4096;                             // request data area
constexpr size_t EIP_REPLY_MAX = EIP_HEADER_SIZE + EIP_DATA_MAX;  // 4120
constexpr size_t EIP_RRDATA_CIP_MAX = EIP_DATA_MAX - 16;          // 4080
constexpr size_t EIP_UNITDATA_CIP_MAX = EIP_DATA_MAX - 22;        // 4074

// One controller connection; owned by one thread, no heap memory.
struct eip_session {
    int32_t sock = -1;
    uint32_t session_handle = 0;
    uint32_t slot = 0;
    uint32_t ot_conn_id = 0;
    uint32_t to_conn_id = 0;
    uint16_t conn_serial = 0;
    uint16_t seq = 0;
    int32_t cip_connected = 0;
    // Size of the open CIP connection in bytes (sequence count included);
    // 0 while none is open.
    uint16_t conn_size = 0;
    // Counters for the driver's status file: requests sent, and exchanges
    // that failed (time-outs, socket and encapsulation errors, CIP refusals).
    uint64_t requests = 0;
    uint64_t errors = 0;
};

// All return 0 on success, -1 on failure (logged).
int eip_connect(eip_session *session, const char *ip, int port, uint32_t slot);
void eip_disconnect(eip_session *session);
// reply_len: capacity of reply on entry (header included), bytes received on success.
int eip_transact(eip_session *session, const uint8_t *request, size_t request_len, uint8_t *reply,
                 size_t *reply_len);
// out_len: capacity of out on entry, length of the CIP reply on success.
int eip_send_rrdata(eip_session *session, const uint8_t *cip, size_t cip_len, uint8_t *out,
                    size_t *out_len);
int eip_send_unitdata(eip_session *session, const uint8_t *cip, size_t cip_len, uint8_t *out,
                      size_t *out_len);
// The two halves of eip_send_unitdata, so that requests on several sessions
// can be in flight at once: the send does not wait for the reply.
int eip_unitdata_send(eip_session *session, const uint8_t *cip, size_t cip_len);
int eip_unitdata_recv(eip_session *session, uint8_t *out, size_t *out_len);
// Receives exactly n bytes; -1 on peer close, error or time-out.
int eip_sock_read_all(int sock, void *buffer, size_t n);

// Little-endian field access, shared by the client and the simulator.
inline uint16_t eip_get16(const uint8_t *p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}
inline uint32_t eip_get32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline uint64_t eip_get64(const uint8_t *p) {
    return (uint64_t)eip_get32(p) | ((uint64_t)eip_get32(p + 4) << 32);
}
inline void eip_put16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
inline void eip_put32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}
inline void eip_put64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; i++)
        p[i] = (uint8_t)(v >> (8 * i));
}

// Writes a 24-byte encapsulation header (status, context and options zero).
inline void eip_put_header(uint8_t *p, uint16_t command, uint16_t length, uint32_t handle) {
    memset(p, 0, EIP_HEADER_SIZE);
    eip_put16(p, command);
    eip_put16(p + 2, length);
    eip_put32(p + 4, handle);
}
