// channels.json from the configured items (and, once, from the legacy
// tables).

#include "sup_legacy.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "common/channels.h"
#include "common/ini.h"
#include "common/legacy_base.h"
#include "common/parse_util.h"
#include "common/yaml.h"

namespace {

bool exists(const char *path) {
    struct stat st;
    return stat(path, &st) == 0;
}

struct marker {
    channels_registry *reg;
    std::vector<bool> an = std::vector<bool>(CHANNELS_MAX_NUMBER + 1, false);
    std::vector<bool> di = std::vector<bool>(CHANNELS_MAX_NUMBER + 1, false);

    // "A12,c,Tag": only A and D lines, numbers 1..32767; a channel mapped
    // twice keeps its first mapping.
    void line(const std::string &text, const std::string &group, bool need_tag) {
        size_t i = text.find_first_not_of(" \t");
        if (i == std::string::npos) return;
        char k = text[i];
        bool analog = k == 'A' || k == 'a';
        if (!analog && k != 'D' && k != 'd') return;
        size_t c1 = text.find(',', i);
        size_t c2 = c1 == std::string::npos ? c1 : text.find(',', c1 + 1);
        if (need_tag && c2 == std::string::npos) return;
        std::string num = text.substr(i + 1, c1 == std::string::npos ? c1 : c1 - i - 1);
        while (!num.empty() && (num.back() == ' ' || num.back() == '\t'))
            num.pop_back();
        int n = 0;
        if (num.empty() || num.size() > 5) return;
        for (char ch : num) {
            if (ch < '0' || ch > '9') return;
            n = n * 10 + (ch - '0');
        }
        if (n < 1 || n > CHANNELS_MAX_NUMBER) return;
        std::vector<bool> &marks = analog ? an : di;
        if (marks[size_t(n)]) return;
        channel_rec *r = analog ? channels_an_slot(reg, n) : channels_di_slot(reg, n);
        if (!r) return;
        marks[size_t(n)] = true;
        if (!r->used) *r = channel_rec{};
        r->used = 1;
        std::string tag;
        if (c2 != std::string::npos) {
            size_t t = text.find_first_not_of(' ', c2 + 1);
            if (t != std::string::npos) tag = text.substr(t);
        }
        zq_copy_cut(r->plc_tag, sizeof r->plc_tag, tag.c_str());
        zq_copy_cut(r->group, sizeof r->group, group.c_str());
    }

    void from_yaml(const json_node *root) {
        const json_node *groups = json_get(json_get(root, "logix"), "groups");
        if (groups && groups->type == JSON_ARRAY) {
            long pos = 0;
            for (const json_node *g = groups->child; g; g = g->next, pos++) {
                long id = long(json_getn(g, "id", double(pos)));
                std::string name = "Logix5000_" + std::to_string(id);
                for (const std::string &l : yaml_items_vec(json_get(g, "items")))
                    line(l, name, true);
            }
        }
        if (!root || root->type != JSON_OBJECT) return;
        for (const json_node *s = root->child; s; s = s->next) {
            if (!s->key || strcmp(s->key, "logix") == 0) continue;
            const json_node *items = json_get(s, "items");
            if (!items) continue;
            for (const std::string &l : yaml_items_vec(items))
                line(l, s->key, false);
        }
    }

    void from_ini(const ini_file &ini) {
        for (const ini_section &s : ini.sections) {
            if (s.name.compare(0, 10, "Logix5000_") != 0) continue;
            for (const ini_entry &e : s.entries)
                if (e.key.compare(0, 4, "item") == 0) line(e.value, s.name, true);
        }
    }

    void clear_unmarked() {
        reg->an_max = reg->di_max = 0;
        for (int n = 1; n < reg->an_cap; n++) {
            if (reg->an[n].used && !an[size_t(n)]) reg->an[n] = channel_rec{};
            if (reg->an[n].used) reg->an_max = n;
        }
        for (int n = 1; n < reg->di_cap; n++) {
            if (reg->di[n].used && !di[size_t(n)]) reg->di[n] = channel_rec{};
            if (reg->di[n].used) reg->di_max = n;
        }
    }
};

}  // namespace

int sup_channels_bootstrap(const char *ini_path, const char *yaml_path, const char *channels_path,
                           const char *a_base, const char *d_base, std::string *log) {
    channels_registry reg;
    // A registry that exists but does not read is kept as it is: saving
    // over it would lose every description and scale.
    if (exists(channels_path)) {
        if (channels_load(&reg, channels_path) != 0) {
            *log += std::string("[zqsup] channels: ") + channels_path +
                    " не читається — реєстр каналів не змінено\n";
            return SUP_BOOT_KEPT;
        }
    } else if (exists(a_base)) {
        legacy_import_tables(&reg, a_base, d_base);
        fprintf(stderr, "channels: bootstrapped %s from legacy .base\n", channels_path);
    }

    marker m{&reg};
    if (exists(yaml_path)) {
        std::string text;
        json_ptr root;
        if (zq_read_file_max(yaml_path, 8u << 20, &text) == 0) root.reset(yaml_parse(text.c_str()));
        if (!root) {
            *log += std::string("[zqsup] channels: ") + yaml_path +
                    " не читається — реєстр каналів не змінено\n";
            return SUP_BOOT_KEPT;
        }
        m.from_yaml(root.get());
    } else {
        ini_file ini;
        if (ini_load(ini_path, &ini) != 0) {
            // Nothing says which channels exist: keep what is there.
            return SUP_BOOT_KEPT;
        }
        m.from_ini(ini);
    }
    m.clear_unmarked();
    if (channels_save(&reg, channels_path) != 0) {
        fprintf(stderr, "channels: cannot write %s\n", channels_path);
        return SUP_BOOT_FAILED;
    }
    return SUP_BOOT_SAVED;
}
