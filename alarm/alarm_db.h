#pragma once
// Channel values for the conditions: the database opened read-only, with
// analog values scaled to engineering units by the channel registry.

#include <string>

#include "common/channels.h"
#include "common/shm.h"

struct alarm_db {
    ShmHandle h;
    bool open = false;
    channels_registry reg;
    bool have_reg = false;
};

// Opens the database when it is not open, or re-opens it when the supervisor
// recreated it. true while open.
bool alarm_db_attach(alarm_db *db, const char *name);
void alarm_db_close(alarm_db *db);
// alarm_value_fn over an alarm_db: 0 when the channel's quality is good.
int alarm_db_value(void *db, char kind, int channel, double *value_out);
