#pragma once
// The broker settings of the mqtt section of config.yaml, edited key by key
// so the rest of the file keeps its layout. The stored password is never
// sent back.

#include "server/srv_routes.h"

void eng_h_mqtt_settings_get(srv_call *c);
void eng_h_mqtt_settings_post(srv_call *c);
