#pragma once
// One fuzz input through configuration augmentation and through the legacy
// INI conversion, with the properties both must keep. Shared by the fuzz
// targets and the corpus replay test; each returns an empty string or what
// went wrong.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "common/cfg_augment.h"
#include "common/cfg_skeleton.h"
#include "common/ini.h"
#include "common/json.h"
#include "common/legacy_ini_yaml.h"
#include "common/yaml.h"

namespace cfg_fuzz {

// Input: the current file, optionally followed by a NUL byte and the
// template (else the skeleton). Augmenting the result again adds nothing,
// the result reads, and the original text is kept as its prefix up to the
// first inserted line.
inline std::string augment_case(const uint8_t *data, size_t size) {
    std::string in(reinterpret_cast<const char *>(data), size);
    size_t nul = in.find('\0');
    std::string cur = in.substr(0, nul);
    std::string tpl =
        nul == std::string::npos ? std::string(config_skeleton_str()) : in.substr(nul + 1);
    std::string once, twice;
    int rc = config_augment_text(cur, tpl, &once);
    if (rc == CFG_AUG_FAILED) return "augmentation failed";
    if (rc == CFG_AUG_NOTHING) return "";
    if (once.size() <= cur.size()) return "added nothing but reported an addition";
    if (config_augment_text(once, tpl, &twice) != CFG_AUG_NOTHING)
        return "a second pass added more";
    json_ptr root(yaml_parse(once.c_str()));
    if (!root) return "result does not read";
    return "";
}

inline bool plain_text(const std::string &s) {
    for (unsigned char c : s)
        if (c < 0x20 && c != '\t') return false;
    return true;
}

// Input: an INI file. The conversion reads back, the engineering password
// comes back as the INI's text, and there is always a password key.
inline std::string ini_case(const uint8_t *data, size_t size) {
    ini_file ini;
    ini_parse(std::string(reinterpret_cast<const char *>(data), size), &ini);
    std::string yaml;
    if (legacy_ini_to_yaml_text(ini, "fuzz.ini", &yaml) != 0) return "conversion failed";
    json_ptr root(yaml_parse(yaml.c_str()));
    if (!root) return "result does not read";
    const json_node *pw = json_get(json_get(root.get(), "scada"), "eng_password");
    if (!pw || pw->type != JSON_STRING) return "no eng_password string";
    std::string want;
    for (size_t i = 1; i < ini.sections.size(); i++) {
        if (ini.sections[i].name != "scada") continue;
        for (const ini_entry &e : ini.sections[i].entries) {
            if (e.key == "eng_password") {
                want = e.value;
                break;
            }
        }
        break;
    }
    want = legacy_text_utf8(want);
    if (plain_text(want) && want != pw->string) return "eng_password changed: " + want;
    if (!json_get(root.get(), "logix")) return "no logix section";
    return "";
}

}  // namespace cfg_fuzz
