#include "trend_shm.h"

#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>

#include "common/shm_report.h"

trend_segments::~trend_segments() {
    for (trend_segment &s : segs)
        shm_handle_close(&s.h);
}

void trend_segments_init(trend_segments *s, const std::vector<std::string> &names) {
    s->segs.resize(names.size());
    for (size_t i = 0; i < names.size(); i++)
        s->segs[i].name = names[i];
}

// Still the object that the name refers to? The supervisor recreates the
// database on a configuration reload; an old mapping would freeze values.
static bool same_object(const trend_segment &s) {
    struct stat a, b;
    std::string path = "/dev/shm/" + (s.name[0] == '/' ? s.name.substr(1) : s.name);
    if (fstat(s.h.fd, &a) != 0 || stat(path.c_str(), &b) != 0) return false;
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev;
}

bool trend_try_open_groups(trend_segments *s) {
    bool any = false;
    for (trend_segment &g : s->segs) {
        if (g.h.base && shm_check_magic(&g.h) && same_object(g)) {
            any = true;
            continue;
        }
        if (g.h.base) shm_handle_close(&g.h);
        if (shm_handle_open(&g.h, g.name.c_str(), false) == 0)
            any = true;
        else
            shm_report_open_failure(&g.h, SHM_MSG_TREND);
    }
    return any;
}

void trend_snapshot(trend_segments *s, trend_samples *smp, const trend_config &cfg) {
    uint32_t an = 0, di = 0;
    for (trend_segment &g : s->segs) {
        if (!g.h.base) continue;
        an = std::max(an, shm_an_count(&g.h));
        di = std::max(di, shm_di_count(&g.h));
    }
    if (smp->an_count != an || smp->di_count != di) smp->resize(an, di);
    for (trend_segment &g : s->segs) {
        if (!g.h.base) continue;
        uint32_t na = shm_an_count(&g.h), nd = shm_di_count(&g.h);
        if (!s->warned_bigger && cfg.analogs > 0 &&
            (na > (uint32_t)cfg.analogs || nd > (uint32_t)cfg.discrets)) {
            s->warned_bigger = true;
            printf(
                "[trend] УВАГА: SHM більший за конфіг (SHM %u/%u, config %d/%d) — хвостові "
                "канали не потраплять у rpm/rph; перезапустіть zqtrend / перевірте "
                "config.yaml\n",
                na, nd, cfg.analogs, cfg.discrets);
        }
        const ShmAnalog *ar = na ? shm_analog(&g.h, 0) : nullptr;
        const ShmDiscrete *dr = nd ? shm_discrete(&g.h, 0) : nullptr;
        const uint8_t *avt = na ? shm_an_vtype(&g.h, 0) : nullptr;
        const uint8_t *dvt = nd ? shm_di_vtype(&g.h, 0) : nullptr;
        for (uint32_t i = 0; ar && i < na; i++) {
            smp->an_raw[i] = ar[i].value;
            smp->an_q[i] = ar[i].quality;
            smp->an_vt[i] = avt ? avt[i] : 0;
        }
        for (uint32_t i = 0; dr && i < nd; i++) {
            smp->di_val[i] = dr[i].value;
            smp->di_q[i] = dr[i].quality;
            smp->di_vt[i] = dvt ? dvt[i] : 0;
        }
    }
}
