#pragma once
// Network shares kept mounted under one root folder: the entries of
// network.mounts in config.yaml, the checks every entry passes before any
// tool sees it (the supervisor and the editor share them), and the
// question whether a folder is mounted.

#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"

constexpr int NET_MOUNTS_MAX = 16;
constexpr size_t NET_NAME_MAX = 63;
constexpr size_t NET_REMOTE_MAX = 399;
constexpr size_t NET_HOST_MAX = 255;

struct net_mount {
    std::string type;  // "nfs" or "smb"
    std::string remote;
    std::string name;
    std::string mode;  // "rw" or "ro"
    std::string cred;  // stored SMB credentials' name
    std::string servern;
    bool alt = false;   // carries trends.altpath_linux
    bool alt2 = false;  // carries trends.altpath2_linux
};

// Root of the mount points: $ZQ_MOUNT_ROOT, else "/mnt/zq" (tests and
// unprivileged set-ups move it).
std::string net_mount_root();
// "<root>/<name>".
std::string net_mount_point(const std::string &name);
// The mount table read: $ZQ_PROC_MOUNTS, else "/proc/mounts".
std::string net_mounts_table_path();

// [A-Za-z0-9_-]{1,63}
bool net_mount_name_ok(std::string_view name);
// Text that reaches a tool's argument vector: not empty, no leading "-",
// no whitespace or control characters, at most max bytes.
bool net_arg_ok(std::string_view s, size_t max);
// NFS "host:/path": false when there is no colon, the host is not a plain
// argument of at most 255 bytes or the path is not absolute.
bool net_nfs_split(const std::string &remote, std::string *host, std::string *path);

// Fills defaults (type "nfs" when empty, mode "rw" when empty) and checks
// the entry. "" when it may be mounted, else the reason for the engineer.
std::string net_mount_check(net_mount *m);

// Entries of network.mounts in a parsed config.yaml, in file order, at most
// NET_MOUNTS_MAX; entries without a name are skipped. Checks are not applied
// here: callers decide what an invalid entry means to them.
std::vector<net_mount> net_mounts_from_config(const json_node *root);

// True when a line of the mount table has `path` as its second field
// (octal escapes such as \040 decoded).
bool net_mounts_text_has(std::string_view table, const std::string &path);
// The mount table's text ("" when it cannot be read).
std::string net_mounts_table();
// Reads the mount table; false also when it cannot be read.
bool net_is_mounted(const std::string &path);

// Arguments after the tool path that mount one checked entry:
// mount-nfs host path name mode, or mount-smb remote name mode cred
// [servern]. Empty when the entry does not pass net_mount_check.
std::vector<std::string> net_mount_args(const net_mount &checked);
