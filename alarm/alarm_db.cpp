#include "alarm_db.h"

bool alarm_db_attach(alarm_db *db, const char *name) {
    if (db->open && shm_check_magic(&db->h)) return true;
    if (db->open) alarm_db_close(db);
    db->open = shm_handle_open(&db->h, name, false, SHM_MSG_ALARM) == 0;
    return db->open;
}

void alarm_db_close(alarm_db *db) {
    if (db->open) shm_handle_close(&db->h);
    db->open = false;
}

int alarm_db_value(void *ctx, char kind, int channel, double *out) {
    alarm_db *db = (alarm_db *)ctx;
    *out = 0;
    if (!db->open || channel <= 0) return 1;
    if (kind == 'A') {
        const ShmAnalog *a = shm_analog(&db->h, channel);
        if (!a) return 1;
        double v = a->value;
        if (db->have_reg) v = channels_to_phys(channels_an(&db->reg, channel), v);
        *out = v;
        return a->quality == 1 ? 0 : 1;
    }
    const ShmDiscrete *d = shm_discrete(&db->h, channel);
    if (!d) return 1;
    *out = d->value;
    return d->quality == 1 ? 0 : 1;
}
