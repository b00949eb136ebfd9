// One input for the manifest fuzz target and its corpus replay: the bytes
// go through the manifest and signature-file parsers, and whatever they
// accept must hold the promises the installer relies on.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include "updater/upd_manifest.h"

namespace update_fuzz {

// Returns 1 when the bytes were accepted as a manifest, 0 otherwise.
inline int run_one(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    upd_sig sig;
    if (upd_parse_sig(text, size, &sig) && (sig.key_id.empty() || sig.key_id.size() > 15)) abort();
    upd_manifest m;
    std::string err;
    if (!upd_parse_manifest(text, size, "zqstack", &m, &err)) {
        if (err.empty()) abort();
        return 0;
    }
    // Every accepted path is a canonical, unique, relative one.
    std::set<std::string> seen;
    for (const upd_file &f : m.files) {
        if (!upd_path_ok(f.path) || f.path[0] == '/' || f.path.find("..") != std::string::npos ||
            !seen.insert(f.path).second)
            abort();
    }
    if (m.version.empty() || m.version.size() > UPD_VERSION_MAX) abort();
    if (upd_version_cmp(m.version, m.version) != 0) abort();
    if (upd_version_cmp(m.version, "1.0") != -upd_version_cmp("1.0", m.version)) abort();
    return 1;
}

}  // namespace update_fuzz
