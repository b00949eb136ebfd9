#include "common/legacy_ini_yaml.h"
#include "common/atomic_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "common/cfg_augment.h"
#include "common/cp1251.h"

namespace {

// First section of this name (repeated sections are ignored, as the old
// converter did).
const ini_section *first_section(const ini_file &ini, const std::string &name) {
    for (size_t i = 1; i < ini.sections.size(); i++)
        if (ini.sections[i].name == name) return &ini.sections[i];
    return nullptr;
}

const char *first_value(const ini_section *s, const char *key) {
    if (!s) return nullptr;
    for (const ini_entry &e : s->entries)
        if (e.key == key) return e.value.c_str();
    return nullptr;
}

// Leading decimal number of the INI text; def when there is none (an empty
// takt must not become a busy loop of 0 ms).
long number_or(const char *v, long def) {
    if (!v) return def;
    char *end = nullptr;
    errno = 0;
    long n = strtol(v, &end, 10);
    if (end == v) return def;
    if (n > INT_MAX) return INT_MAX;
    if (n < INT_MIN) return INT_MIN;
    return n;
}

bool valid_utf8_multibyte(const std::string &s) {
    bool multi = false;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        int n = c < 0x80             ? 0
                : (c & 0xE0) == 0xC0 ? 1
                : (c & 0xF0) == 0xE0 ? 2
                : (c & 0xF8) == 0xF0 ? 3
                                     : -1;
        if (n < 0 || (n == 1 && c < 0xC2)) return false;
        if (i + size_t(n) >= s.size() + (n ? 0 : 1)) return false;
        for (int k = 1; k <= n; k++)
            if (((unsigned char)s[i + size_t(k)] & 0xC0) != 0x80) return false;
        multi = multi || n > 0;
        i += size_t(n) + 1;
    }
    return multi;
}

bool is_number_text(const std::string &t) {
    size_t i = 0, digits = 0, dots = 0;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) i++;
    for (; i < t.size(); i++) {
        if (t[i] == '.') {
            if (++dots > 1) return false;
        } else if (t[i] >= '0' && t[i] <= '9') {
            digits++;
        } else {
            return false;
        }
    }
    return digits > 0;
}

bool ieq(const std::string &a, const char *b) {
    if (a.size() != strlen(b)) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (tolower((unsigned char)a[i]) != b[i]) return false;
    return true;
}

// Text the reader would take as something other than this very string.
bool plain_is_safe(const std::string &s) {
    if (s.empty() || is_number_text(s)) return false;
    for (const char *w : {"true", "false", "yes", "no", "on", "off", "null", "~"})
        if (ieq(s, w)) return false;
    if (strchr(" \t", s.front()) || strchr(" \t:", s.back())) return false;
    if (strchr("\"'#&*-[{|!%@`>?,]}", s.front())) return false;
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F || c == '#') return false;
    return s.find(": ") == std::string::npos;
}

const char *kTrendsComment =
    "Запис трендів (усі канали, усі роздільності). autodel* — у ДНЯХ, 0 = не видаляти";

struct writer {
    std::string o;

    void comment(int indent, const char *text) {
        o.append(size_t(indent), ' ');
        o += "# ";
        o += text;
        o += '\n';
    }
    void tail(const char *comment) {
        if (comment) {
            o += "   # ";
            o += comment;
        }
        o += '\n';
    }
    void head(int indent, const char *key) {
        o.append(size_t(indent), ' ');
        o += key;
        o += ':';
    }
    // quoted: the INI value is a free text (password, supervisor value).
    void str(int indent, const char *key, const std::string &v, const char *comment,
             bool quoted = false) {
        head(indent, key);
        if (!v.empty()) o += ' ' + legacy_yaml_scalar(v, !quoted);
        tail(comment);
    }
    void num(int indent, const char *key, long v, const char *comment) {
        head(indent, key);
        o += ' ' + std::to_string(v);
        tail(comment);
    }
};

// Legacy paths end in "/" more often than not; the new readers add it.
std::string path_value(const char *v) {
    std::string s = legacy_text_utf8(v ? v : "");
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

std::string text_value(const char *v) {
    return legacy_text_utf8(v ? v : "");
}

// A key the YAML reader would take for something else ("-x" opens a
// sequence) is dropped.
bool supervisor_key_ok(const std::string &k) {
    if (k.empty() || k[0] == '-' || k[0] == '.') return false;
    for (unsigned char c : k)
        if (!isalnum(c) && c != '_' && c != '.' && c != '-') return false;
    return true;
}

bool is_item_key(const std::string &k) {
    return k.size() > 4 && k.compare(0, 4, "item") == 0 && isdigit((unsigned char)k[4]);
}

void write_trends(writer &w, const ini_file &ini) {
    const ini_section *tr = first_section(ini, "trends");
    w.comment(0, kTrendsComment);
    w.o += "trends:\n";
    w.str(2, "mainpath_linux", "./Trends", "основна папка трендів");
    w.o +=
        "  # mainpath_format: 1      # 1 = файли версії 1 (читає старий переглядач трендів), "
        "2 = версія 2.1 (ZQT2)\n";
    w.str(2, "altpath_linux", "", "додаткова копія (порожньо = вимкнено)");
    w.o += "  # altpath_format: 1        # формат файлів alt-шляху (незалежно від main)\n";
    w.num(2, "autodelsec", number_or(first_value(tr, "autodelsec"), 0),
          "зберігати .rps (секундні), днів");
    w.num(2, "autodelmin", number_or(first_value(tr, "autodelmin"), 0),
          "зберігати .rpm (хвилинні), днів");
    w.num(2, "autodelhour", number_or(first_value(tr, "autodelhour"), 0),
          "зберігати .rph (годинні), днів");
    w.o +=
        "  # push:                     # відправка трендів на сервер трендів; токен — окремо\n"
        "  #   - url: https://trends.example/api/push   # (push_tokens.json, режим 0600)\n"
        "  #     deflate: true\n\n";
}

void write_scada(writer &w, const ini_file &ini) {
    const ini_section *sc = first_section(ini, "scada");
    const ini_section *awp = first_section(ini, "awp_slot");
    w.comment(0, "HTTP-сервер SCADA + інженерний редактор");
    w.o += "scada:\n";
    w.num(2, "port", number_or(first_value(sc, "port"), 80), "HTTP-порт (80 = потрібен root)");
    w.str(2, "wwwdir", "./www", "папка веб-сторінок проєкту");
    w.num(2, "poll_ms", number_or(first_value(sc, "poll_ms"), 200), "період опитування SHM, мс");
    // No password in the INI means no remote editor; never a default one.
    w.head(2, "eng_password");
    w.o += ' ' + legacy_yaml_scalar(text_value(first_value(sc, "eng_password")), false);
    w.tail("пароль для /api/eng/* (порожньо = без авторизації)");
    long lc =
        number_or(first_value(sc, "logcontrol"), number_or(first_value(awp, "logcontrol"), 0));
    w.num(2, "logcontrol", lc, "1 = логувати дії оператора");
    w.str(2, "logcontrolpath", "./logs", "папка логів дій оператора");
    w.str(2, "ksp_projdir", path_value(first_value(sc, "ksp_projdir")), nullptr);
    w.o += '\n';

    w.comment(0, "Аварії / технологічні повідомлення (модуль zqalarm)");
    w.o += "alarm:\n";
    w.str(2, "dir", "./alarm", "папка даних аларму");
    w.num(2, "takt_ms", number_or(first_value(first_section(ini, "alarm"), "takt_ms"), 500),
          "період оцінки, мс");
    w.o += '\n';

    w.comment(0, "Права керування: code:timeout:ip (порожній список = відкрито всім)");
    w.o += "awp_slot:\n  trust:\n";
    if (awp) {
        for (const ini_entry &e : awp->entries) {
            if (e.key.compare(0, 5, "trust") != 0 || e.value.empty()) continue;
            w.o += "    - " + legacy_yaml_scalar(text_value(e.value.c_str()), false) + '\n';
        }
    }
    const ini_section *sup = first_section(ini, "supervisor");
    if (sup && !sup->entries.empty()) {
        w.o += "\nsupervisor:\n";
        for (const ini_entry &e : sup->entries) {
            // A key the YAML reader would split or misread is dropped.
            if (!supervisor_key_ok(e.key)) continue;
            w.str(2, e.key.c_str(), text_value(e.value.c_str()), nullptr, true);
        }
    }
}

void write_logix(writer &w, const ini_file &ini) {
    const ini_section *lx = first_section(ini, "Logix5000");
    w.o += '\n';
    w.comment(0, "Драйвер EtherNet/IP: SHM + лог + групи опитування ПЛК");
    w.comment(0, "Ємність БД рахується автоматично з items (макс ZQid+1)");
    w.o += "logix:\n";
    w.str(2, "shm_name", "/logix_drv",
          "префікс POSIX SHM (можна змінити, напр. /shm); хвіст _<проєкт> додає zqsup з "
          "робочого каталогу");
    w.o += "  log:\n";
    w.str(4, "logdir_linux", "./logs", "папка логів драйвера");
    w.str(4, "logname", text_value(first_value(lx, "logname")), nullptr);
    w.num(4, "loginit", number_or(first_value(lx, "loginit"), 1), "1 = логувати ініціалізацію");
    w.num(4, "logerror", number_or(first_value(lx, "logerror"), 0), "1 = логувати помилки CIP");
    w.num(4, "logwrite", number_or(first_value(lx, "logwrite"), 1), "1 = логувати записи в ПЛК");
    w.comment(2, "Кожна група = окремий ПЛК/такт.");
    w.comment(2, "items: | — блок тексту (вертикальна риска), КОЖЕН РЯДОК = один тег:");
    w.comment(2, "   ZQid,прапор(c/v),plc_tag   (A=аналог D=дискрет). Без '-' і лапок.");
    w.o += "  groups:\n";
    for (int n = 0;; n++) {
        const ini_section *g = first_section(ini, "Logix5000_" + std::to_string(n));
        if (!g) break;
        w.o += "    - id: " + std::to_string(n) + '\n';
        w.str(6, "ipaddr", text_value(first_value(g, "ipaddr")), "IP-адреса ПЛК");
        w.str(6, "connpath", path_value(first_value(g, "connpath")),
              "шлях до процесора: backplane\\<слот>");
        w.num(6, "takt", number_or(first_value(g, "takt"), 1000), "такт опитування, мс");
        w.o += "      items: |\n";
        for (const ini_entry &e : g->entries) {
            if (!is_item_key(e.key) || e.value.empty()) continue;
            std::string v = text_value(e.value.c_str());
            // One item per line: a line break inside would make two.
            for (char &c : v)
                if (c == '\n' || c == '\r') c = ' ';
            w.o += "        " + v + '\n';
        }
    }
}

}  // namespace

std::string legacy_text_utf8(const std::string &s) {
    bool ascii = true;
    for (unsigned char c : s)
        ascii = ascii && c < 0x80;
    if (ascii || valid_utf8_multibyte(s)) return s;
    return cp1251_to_utf8(s);
}

std::string legacy_yaml_scalar(const std::string &s, bool plain_ok) {
    if (plain_ok && plain_is_safe(s)) return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            q += '\\';
            q += c;
        } else if (c == '\n') {
            q += "\\n";
        } else if (c == '\t') {
            q += "\\t";
        } else {
            q += c;
        }
    }
    return q + '"';
}

int legacy_ini_to_yaml_text(const ini_file &ini, const char *ini_name, std::string *out) {
    try {
        writer w;
        std::string name = ini_name ? ini_name : "";
        for (char &c : name)
            if (c == '\n' || c == '\r') c = '?';
        w.o += "# config.yaml — конфіг драйвера/тренду/scada (згенеровано з " + name + ")\n";
        w.o += "# Тільки потрібні ключі. Inline-коментар = текст після '#'.\n";
        w.o += "# Усі шляхи — Linux, відносно робочого каталогу проєкту (не з .ini).\n";
        w.o += "# Групи Logix винесені В КІНЕЦЬ файлу (найдовший блок).\n\n";
        write_trends(w, ini);
        write_scada(w, ini);
        write_logix(w, ini);
        out->swap(w.o);
        return 0;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
}

int config_ini_to_yaml(const char *ini_path, const char *yaml_path) {
    ini_file ini;
    if (ini_load(ini_path, &ini) != 0) return -1;
    std::string text;
    if (legacy_ini_to_yaml_text(ini, ini_path, &text) != 0) return -1;
    return atomic_file_write(yaml_path, text);
}
