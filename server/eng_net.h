#pragma once
// The stack's privileged helper zqnet as the engineering API runs it (mounts
// and time settings), and the network-mount endpoints.

#include <string>
#include <vector>

// "$ZQSTACK_DIR/zqnet", or "./zqnet" when the variable is unset or empty.
std::string eng_zqnet_path();

// Runs zqnet with args (no shell). "" on success; else the first line of
// what it printed, or `fallback` when it printed nothing.
std::string eng_zqnet(const std::vector<std::string> &args, const char *fallback, int timeout_ms,
                      const std::string &input = "");
