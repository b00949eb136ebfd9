// One input for the mount-list checks: the bytes as config.yaml and as a
// mount table. Whatever passes the checks must give zqnet only plain
// arguments; anything else aborts.
#pragma once

#include <stdlib.h>

#include <string>

#include "common/json.h"
#include "common/net_mounts.h"
#include "common/yaml.h"

inline void net_mounts_fuzz_one(const std::string &text) {
    json_ptr root(yaml_parse(text.c_str()));
    auto list = net_mounts_from_config(root.get());
    if (list.size() > size_t(NET_MOUNTS_MAX)) abort();
    for (net_mount m : list) {
        std::string why = net_mount_check(&m);
        auto args = net_mount_args(m);
        if (why.empty() != !args.empty()) abort();
        for (size_t i = 1; i < args.size(); i++) {
            // The NFS export path is the one argument that starts with "/".
            for (unsigned char ch : args[i])
                if (ch <= 0x20 || ch == 0x7f) abort();
            if (args[i].empty() || args[i][0] == '-') abort();
        }
        if (!why.empty()) continue;
        if (!net_mount_name_ok(m.name) || (m.mode != "rw" && m.mode != "ro")) abort();
    }
    (void)net_mounts_text_has(text, "/mnt/zq/a b");
}
