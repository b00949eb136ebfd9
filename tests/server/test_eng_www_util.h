// Helpers of the web-page deployment tests: credentials, a token store and
// ZIP archives, both well-formed (libarchive) and hand-made hostile ones.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <openssl/sha.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/crc32.h"

namespace engwww {

inline std::string basic_auth(const std::string &password) {
    static const char *tab = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string in = "eng:" + password, out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned v = (unsigned char)in[i] << 16;
        if (i + 1 < in.size()) v |= (unsigned char)in[i + 1] << 8;
        if (i + 2 < in.size()) v |= (unsigned char)in[i + 2];
        out += tab[(v >> 18) & 63];
        out += tab[(v >> 12) & 63];
        out += i + 1 < in.size() ? tab[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? tab[v & 63] : '=';
    }
    return "Basic " + out;
}

inline std::string sha_hex(const std::string &s) {
    unsigned char d[32];
    SHA256((const unsigned char *)s.data(), s.size(), d);
    char h[65];
    for (int i = 0; i < 32; i++)
        snprintf(h + 2 * i, 3, "%02x", d[i]);
    return h;
}

// A token store holding one enabled token `name` for `token`.
inline std::string token_store(const std::string &name, const std::string &token) {
    return "{\"tokens\":[{\"name\":\"" + name + "\",\"hash\":\"" + sha_hex(token) +
           "\",\"role\":\"engineer\",\"expires\":0,\"created\":\"\",\"last_used\":\"\","
           "\"last_ip\":\"\",\"disabled\":0}]}\n";
}

struct zip_file {
    std::string name, data;
};

// A well-formed deflated ZIP (names ending in "/" are folders).
inline std::string make_zip(const std::vector<zip_file> &files) {
    std::vector<char> buf(16u << 20);
    size_t used = 0;
    struct archive *a = archive_write_new();
    archive_write_set_format_zip(a);
    archive_write_zip_set_compression_deflate(a);
    archive_write_open_memory(a, buf.data(), buf.size(), &used);
    for (const zip_file &f : files) {
        struct archive_entry *e = archive_entry_new();
        archive_entry_set_pathname(e, f.name.c_str());
        bool dir = !f.name.empty() && f.name.back() == '/';
        archive_entry_set_filetype(e, dir ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(e, dir ? 0755 : 0644);
        archive_entry_set_size(e, dir ? 0 : (la_int64_t)f.data.size());
        archive_write_header(a, e);
        if (!dir) archive_write_data(a, f.data.data(), f.data.size());
        archive_entry_free(e);
    }
    archive_write_close(a);
    archive_write_free(a);
    return std::string(buf.data(), used);
}

// One entry of `bytes` zeros, deflated: a few hundred KiB on the wire.
inline std::string make_bomb(uint64_t bytes) {
    std::vector<char> buf(8u << 20);
    size_t used = 0;
    struct archive *a = archive_write_new();
    archive_write_set_format_zip(a);
    archive_write_set_options(a, "zip:compression-level=1");
    archive_write_open_memory(a, buf.data(), buf.size(), &used);
    struct archive_entry *e = archive_entry_new();
    archive_entry_set_pathname(e, "big.html");
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_entry_set_size(e, (la_int64_t)bytes);
    archive_write_header(a, e);
    std::string zeros(1u << 20, '\0');
    for (uint64_t done = 0; done < bytes; done += zeros.size())
        archive_write_data(a, zeros.data(), zeros.size());
    archive_entry_free(e);
    archive_write_close(a);
    archive_write_free(a);
    return std::string(buf.data(), used);
}

// Entries of a hand-made stored ZIP: any name, a Unix mode in the external
// attributes, and a declared size that may lie.
struct raw_entry {
    std::string name, data;
    unsigned mode = 0100644;
    long long declared = -1;  // uncompressed size to announce; -1: the real one
};

inline void put16(std::string *s, unsigned v) {
    s->push_back((char)(v & 0xff));
    s->push_back((char)((v >> 8) & 0xff));
}
inline void put32(std::string *s, uint32_t v) {
    put16(s, v & 0xffff);
    put16(s, v >> 16);
}

inline std::string make_raw_zip(const std::vector<raw_entry> &entries) {
    std::string out, central;
    for (const raw_entry &e : entries) {
        uint32_t crc = crc32_compute(e.data.data(), e.data.size());
        uint32_t usize = e.declared >= 0 ? (uint32_t)e.declared : (uint32_t)e.data.size();
        uint32_t offset = (uint32_t)out.size();
        put32(&out, 0x04034b50);
        put16(&out, 20);
        put16(&out, 0);  // flags
        put16(&out, 0);  // stored
        put16(&out, 0);
        put16(&out, 0x21);  // 1980-01-01
        put32(&out, crc);
        put32(&out, (uint32_t)e.data.size());
        put32(&out, usize);
        put16(&out, (unsigned)e.name.size());
        put16(&out, 0);
        out += e.name + e.data;
        put32(&central, 0x02014b50);
        put16(&central, (3u << 8) | 20);  // made on Unix: the mode counts
        put16(&central, 20);
        put16(&central, 0);
        put16(&central, 0);
        put16(&central, 0);
        put16(&central, 0x21);
        put32(&central, crc);
        put32(&central, (uint32_t)e.data.size());
        put32(&central, usize);
        put16(&central, (unsigned)e.name.size());
        put16(&central, 0);
        put16(&central, 0);
        put16(&central, 0);
        put16(&central, 0);
        put32(&central, (uint32_t)e.mode << 16);
        put32(&central, offset);
        central += e.name;
    }
    uint32_t cd_offset = (uint32_t)out.size();
    out += central;
    put32(&out, 0x06054b50);
    put16(&out, 0);
    put16(&out, 0);
    put16(&out, (unsigned)entries.size());
    put16(&out, (unsigned)entries.size());
    put32(&out, (uint32_t)central.size());
    put32(&out, cd_offset);
    put16(&out, 0);
    return out;
}

// Names and contents of a ZIP ("name" -> data; folders with "/").
inline std::vector<zip_file> read_zip(const std::string &zip) {
    std::vector<zip_file> out;
    struct archive *a = archive_read_new();
    archive_read_support_format_zip(a);
    if (archive_read_open_memory(a, zip.data(), zip.size()) == ARCHIVE_OK) {
        struct archive_entry *e;
        while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
            zip_file f{archive_entry_pathname(e), ""};
            char buf[4096];
            la_ssize_t n;
            while ((n = archive_read_data(a, buf, sizeof buf)) > 0)
                f.data.append(buf, (size_t)n);
            out.push_back(f);
        }
    }
    archive_read_free(a);
    return out;
}

}  // namespace engwww
