// Distribution archives built by the tests: well-formed ones signed with
// the test key, and hostile ones the updater must refuse.
#pragma once

#include <string>
#include <vector>

namespace updt {

enum kind { REG, DIR, SYMLINK, HARDLINK, FIFO };

struct entry {
    std::string name;
    std::string data;  // file contents, or the link target
    kind type = REG;
};

// "{"p":..,"h":..}" list over the regular files of entries.
std::string manifest_for(const std::vector<entry> &files, const std::string &version,
                         const std::string &product = "zqstack");
// dist_manifest.sig text signed with the test key.
std::string sign(const std::string &manifest, const std::string &key_id = "7e57c0de");
// Preamble, marker and the gzip'd tar of entries (in that order).
std::string make_run(const std::vector<entry> &entries);
// A complete, correctly signed distribution of files.
std::string good_run(const std::vector<entry> &files, const std::string &version);

std::string sha256_hex(const std::string &data);

}  // namespace updt
