#pragma once
// CIP services and Logix tag access over an eip_session: tag paths, Read
// and Write Tag, Multiple Service Packet reads, symbol listing, identity,
// controller attributes, clock, and the class-3 connection (Forward Open).
//
// Return convention of every request operation: 0 success; 1 refused by the
// controller (non-zero general status) or request not buildable; -1 transport
// failure or malformed reply (the owner reconnects).

#include <cstddef>
#include <cstdint>

#include "common/vtype.h"
#include "eip.h"

// Elementary data type codes (sizes and kinds in common/vtype.h).
enum : uint16_t {
    CIP_TYPE_BOOL = ZQ_VT_BOOL,
    CIP_TYPE_SINT = ZQ_VT_SINT,
    CIP_TYPE_INT = ZQ_VT_INT,
    CIP_TYPE_DINT = ZQ_VT_DINT,
    CIP_TYPE_LINT = ZQ_VT_LINT,
    CIP_TYPE_USINT = ZQ_VT_USINT,
    CIP_TYPE_UINT = ZQ_VT_UINT,
    CIP_TYPE_UDINT = ZQ_VT_UDINT,
    CIP_TYPE_ULINT = ZQ_VT_ULINT,
    CIP_TYPE_REAL = ZQ_VT_REAL,
    CIP_TYPE_LREAL = ZQ_VT_LREAL,
    CIP_TYPE_STRING = 0xD0,
    CIP_TYPE_BYTE = ZQ_VT_BYTE,
    CIP_TYPE_WORD = ZQ_VT_WORD,
    CIP_TYPE_DWORD = ZQ_VT_DWORD,
    CIP_TYPE_LWORD = ZQ_VT_LWORD,
};

// Service codes (a reply carries the code | 0x80).
enum : uint8_t {
    CIP_SVC_GET_ATTRIBUTES_ALL = 0x01,
    CIP_SVC_GET_ATTRIBUTE_LIST = 0x03,
    CIP_SVC_SET_ATTRIBUTE_LIST = 0x04,
    CIP_SVC_MULTIPLE_SERVICE = 0x0A,
    CIP_SVC_GET_ATTRIBUTE_SINGLE = 0x0E,
    CIP_SVC_READ_TAG = 0x4C,
    CIP_SVC_WRITE_TAG = 0x4D,
    CIP_SVC_READ_MODIFY_WRITE = 0x4E,
    CIP_SVC_FORWARD_CLOSE = 0x4E,  // on the Connection Manager
    CIP_SVC_READ_TAG_FRAGMENTED = 0x52,
    CIP_SVC_UNCONNECTED_SEND = 0x52,  // on the Connection Manager
    CIP_SVC_WRITE_TAG_FRAGMENTED = 0x53,
    CIP_SVC_FORWARD_OPEN = 0x54,
    CIP_SVC_GET_INSTANCE_ATTRIBUTE_LIST = 0x55,
    CIP_SVC_LARGE_FORWARD_OPEN = 0x5B,
};

// General status codes.
enum : uint8_t {
    CIP_STATUS_OK = 0x00,
    CIP_STATUS_CONNECTION_FAILURE = 0x01,
    CIP_STATUS_RESOURCE_UNAVAILABLE = 0x02,
    CIP_STATUS_PATH_SEGMENT_ERROR = 0x04,
    CIP_STATUS_PATH_DESTINATION_UNKNOWN = 0x05,
    CIP_STATUS_PARTIAL_TRANSFER = 0x06,
    CIP_STATUS_SERVICE_NOT_SUPPORTED = 0x08,
    CIP_STATUS_INVALID_ATTRIBUTE_VALUE = 0x09,
    CIP_STATUS_ATTRIBUTE_LIST_ERROR = 0x0A,
    CIP_STATUS_OBJECT_STATE_CONFLICT = 0x0C,
    CIP_STATUS_NOT_ENOUGH_DATA = 0x13,
    CIP_STATUS_ATTRIBUTE_NOT_SUPPORTED = 0x14,
    CIP_STATUS_TOO_MUCH_DATA = 0x15,
    CIP_STATUS_EMBEDDED_SERVICE_ERROR = 0x1E,
    CIP_STATUS_INVALID_PARAMETER = 0x20,
    CIP_STATUS_GENERAL_ERROR = 0xFF,
};

constexpr size_t CIP_PATH_MAX = 260;  // longest encoded path accepted
constexpr size_t CIP_UCMM_MAX = 498;  // largest request inside an Unconnected Send
constexpr size_t CIP_MSP_MAX = 516;   // largest Multiple Service Packet request
constexpr int CIP_MSP_ITEMS_MAX = 60;
// Services per Multiple Service Packet on a large connection: the offsets
// table of a 4,000-byte packet cannot address more.
constexpr int CIP_MSP_ITEMS_LARGE_MAX = 1000;
constexpr uint16_t CIP_CONN_SIZE_DEFAULT = 500;     // classic Forward Open
constexpr uint16_t CIP_CONN_SIZE_LARGE_MAX = 4002;  // Large Forward Open
constexpr size_t CIP_REPLY_MAX = 4096;

// Byte size of a type code, 0 for types that are not supported.
int cip_type_size(uint16_t type);
// Value of one element of a supported type as a double; 0.0 for other types.
double cip_decode_numeric(const uint8_t *bytes, uint16_t type);
// Type code from a symbol-list type word: 0 for structures and unsupported types.
uint16_t cip_sym_to_type(uint16_t symbol_type);

struct cip_symbol {
    char name[64];
    uint16_t type;
};

struct cip_multi_item {
    const uint8_t *path;
    size_t path_len;
    uint16_t count;
};

struct cip_multi_result {
    int32_t status;  // embedded general status, -1 when the value could not be taken
    uint16_t type;   // 0 until known
    uint8_t value[8];
    uint32_t size;  // 0 until known
};

// Tag paths. Both write into out (capacity cap, at least CIP_PATH_MAX is
// always enough) and return the path length in bytes, or -1.
int cip_build_tag_path(const char *name, uint32_t index, int with_index, uint8_t *out, size_t cap);
// Full tag syntax "Prog.Member[1,2].5" / "Flags.0-15": bit_from/bit_to get the
// bit suffix, -1 when there is none.
int cip_build_tag_path_ex(const char *text, int *bit_from, int *bit_to, uint8_t *out, size_t cap);
// Appends one element segment (8, 16 or 32 bit); new length or -1 when it does not fit.
int cip_path_append_elem(uint8_t *path, size_t len, size_t cap, uint32_t index);

// Raw: sends one CIP request (connected or inside an Unconnected Send) and
// returns the whole CIP reply. 0 or -1.
int cip_send(eip_session *session, const uint8_t *request, size_t len, uint8_t *out,
             size_t *out_len);
// Sends and strips the reply header: out gets the reply data. 0, 1 or -1.
int cip_request(eip_session *session, const uint8_t *request, size_t len, uint8_t *out,
                size_t *out_len);

// values holds count doubles; n_out (optional) gets the number decoded.
int cip_read_real(eip_session *session, const char *name, uint32_t index, int count, double *values,
                  uint16_t *type_out, int *n_out = nullptr);
int cip_read_tag_single(eip_session *session, const uint8_t *path, size_t path_len,
                        uint8_t value[8], uint32_t *size_out, uint16_t *type_out);
int cip_read_tag_count(eip_session *session, const uint8_t *path, size_t path_len, int count,
                       uint8_t *buffer, size_t capacity, uint32_t *size_out, uint16_t *type_out,
                       int *n_out);
// bits gets one byte 0/1 per requested bit.
int cip_read_bool(eip_session *session, const char *name, uint32_t first_bit, int count,
                  uint8_t *bits);
int cip_read_multi(eip_session *session, const cip_multi_item *items, int n,
                   cip_multi_result *results);
// The two halves of cip_read_multi for callers that send the request
// themselves: the request into req (length or -1), and the per-item results
// of a whole CIP reply (0, 1 refused, -1 malformed).
int cip_build_multi_read(const cip_multi_item *items, int n, uint8_t *req, size_t cap);
int cip_parse_multi_read(const uint8_t *reply, size_t n, int count, cip_multi_result *results);
// Read Tag (or Read Tag Fragmented from byte offset) request; length or -1.
int cip_build_read(const uint8_t *path, size_t path_len, uint16_t count, int fragmented,
                   uint32_t offset, uint8_t *req, size_t cap);
// Reply data behind the status words: the general status (0..255), or -1
// when the reply is malformed.
int cip_reply_data(const uint8_t *reply, size_t n, const uint8_t **data, size_t *data_len);
// Bits of a Read Tag reply (type word first) whose first word is element
// word first_word of the array: bit k of the result is array bit
// first_bit + k. *next: first result bit not yet filled, advanced. 0 or 1.
int cip_bits_from_reply(const uint8_t *data, size_t n, uint32_t first_bit, uint32_t first_word,
                        int count, uint8_t *bits, int *next);

int cip_write_numeric(eip_session *session, const char *name, uint32_t index, uint16_t type,
                      double value);
int cip_write_tag_single(eip_session *session, const uint8_t *path, size_t path_len, uint16_t type,
                         const uint8_t *data, size_t size);
int cip_write_masked(eip_session *session, const uint8_t *path, size_t path_len, int mask_size,
                     uint32_t or_mask, uint32_t and_mask);
int cip_write_bool(eip_session *session, const char *name, uint32_t bit, int value);
// Encodes value for a write of the given type into out (8 bytes): 0, or 1 when the
// type is not numeric, the value is not finite or lies outside the type's range.
int cip_encode_numeric(uint16_t type, double value, uint8_t out[8], size_t *size_out);

// Instance number of the symbol with exactly this name, 0 if none.
uint32_t cip_find_tag_instance(eip_session *session, const char *name);
int cip_get_symbols(eip_session *session, cip_symbol *symbols, int max, int *n_out);

int cip_get_attributes_all(eip_session *session, uint16_t cls, uint16_t instance, uint8_t *out,
                           size_t capacity, size_t *len_out);
int cip_read_identity(eip_session *session, uint8_t *out, size_t capacity, size_t *len_out);
int cip_read_controller_attrs(eip_session *session, uint8_t *out, size_t capacity, size_t *len_out);
int cip_read_plc_time(eip_session *session, int64_t *microseconds_out);
int cip_write_plc_time(eip_session *session, int64_t microseconds);

int cip_forward_open(eip_session *session);
// Large Forward Open of size bytes (501..4002); 1 when refused, so the caller
// can fall back to cip_forward_open. With status_out a refusal is not logged
// but its general status stored there.
int cip_large_forward_open(eip_session *session, uint16_t size, uint8_t *status_out = nullptr);
// Largest CIP request or reply the session's connection carries.
size_t cip_conn_budget(const eip_session *session);
int cip_forward_close(eip_session *session);
