#pragma once
// One fuzz input as an uploaded web-page archive: checked with both rule
// sets and, when accepted, extracted into a scratch folder, after which no
// symbolic link may exist there and nothing may lie outside it. Shared by
// the fuzz target and the corpus replay test.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "server/eng_www.h"

namespace eng_zip_fuzz {

inline const std::string &scratch() {
    static const std::string dir = [] {
        std::string base = std::filesystem::temp_directory_path().string() + "/zqfuzz-engzip-" +
                           std::to_string(getpid());
        std::filesystem::create_directories(base + "/x");
        return base;
    }();
    return dir;
}

inline void run_one(const uint8_t *data, size_t size) {
    for (bool pages : {true, false}) {
        std::string err;
        eng_zip_rules rules{pages, pages};
        int files = eng_zip_check(data, size, rules, &err);
        if (files < 0 && err.empty()) abort();
        if (files < 0) continue;
        // Extract one level down: anything written beside "x" escaped.
        std::string root = scratch() + "/x";
        int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) abort();
        (void)eng_zip_extract(data, size, fd, pages ? "" : "sub", rules, &err);
        close(fd);
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
            if (it->is_symlink()) abort();
        size_t beside = 0;
        for (auto &e : std::filesystem::directory_iterator(scratch()))
            (void)e, beside++;
        if (beside != 1) abort();
        eng_tree_remove(root.c_str());
        mkdir(root.c_str(), 0755);
    }
}

}  // namespace eng_zip_fuzz
