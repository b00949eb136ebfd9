#pragma once
// Legacy projects: the channel registry rebuilt from the configured items.

#include <string>

enum {
    SUP_BOOT_SAVED = 0,    // channels.json written
    SUP_BOOT_KEPT = 1,     // a source could not be read: channels.json left alone
    SUP_BOOT_FAILED = -1,  // channels.json could not be written
};

// Rebuilds channels_path to hold exactly the channels that yaml_path's
// items map (or, without yaml_path, the INI's driver items), keeping the
// descriptive fields of the channels that stay and importing the legacy
// tables once when no registry exists yet. Lines to log are appended to *log.
int sup_channels_bootstrap(const char *ini_path, const char *yaml_path, const char *channels_path,
                           const char *a_base, const char *d_base, std::string *log);
