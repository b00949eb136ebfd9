#pragma once
// Distribution manifest and its detached Ed25519 signature. Both come from
// an untrusted archive: every field is length- and character-checked, and
// the signature is checked over the exact bytes the manifest is parsed from.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

constexpr size_t UPD_MANIFEST_MAX = (1u << 20) - 1;  // larger manifests are refused
constexpr size_t UPD_SIG_MAX = 4096;
constexpr size_t UPD_PATH_MAX = 255;  // bytes of one relative path
constexpr int UPD_PATH_DEPTH = 16;    // elements of one relative path
constexpr size_t UPD_FILES_MAX = 20000;
constexpr size_t UPD_VERSION_MAX = 127;

struct upd_file {
    std::string path;
    uint8_t hash[32];
};

struct upd_manifest {
    std::string product;
    std::string version;
    std::vector<upd_file> files;
};

struct upd_sig {
    std::string key_id;
    uint8_t sig[64];
};

struct upd_key {
    const char *key_id;  // 8 hex digits
    uint8_t pub[32];
};

// A canonical relative path: elements of letters, digits and "._-+@",
// none empty, "." or beginning with "-", no ".." anywhere, at most
// UPD_PATH_DEPTH deep.
bool upd_path_ok(const std::string &path);

// "key_id=" and "sig=" lines; false when either is missing or malformed.
bool upd_parse_sig(const char *data, size_t len, upd_sig *out);

// Parses and checks the manifest; on failure *err gets the user's message.
bool upd_parse_manifest(const char *data, size_t len, const char *product, upd_manifest *out,
                        std::string *err);

bool upd_verify_ed25519(const uint8_t pub[32], const void *msg, size_t len, const uint8_t sig[64]);

// Numeric dotted comparison ("1.10" > "1.9"); non-digit tails compare as text.
int upd_version_cmp(const std::string &a, const std::string &b);

bool upd_hex_decode(const char *hex, size_t nbytes, uint8_t *out);
std::string upd_hex(const uint8_t *data, size_t len);
