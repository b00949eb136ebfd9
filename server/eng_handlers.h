#pragma once
// Handlers of the engineering API, one family per file; eng_api.cpp lists
// them in the route table.

struct srv_call;

// eng_api.cpp: who is logged in, personal tokens.
void eng_h_whoami(srv_call *c);
void eng_h_tokens_list(srv_call *c);
void eng_h_tokens_create(srv_call *c);
void eng_h_tokens_disable(srv_call *c);
void eng_h_tokens_delete(srv_call *c);

// eng_config.cpp: config.yaml, its keys, alarm and ip-name files, writes.
void eng_h_config_get(srv_call *c);
void eng_h_config_save(srv_call *c);
void eng_h_config_validate(srv_call *c);
void eng_h_alarm_central(srv_call *c);
void eng_h_autosync_threshold(srv_call *c);
void eng_h_write(srv_call *c);
void eng_h_ini(srv_call *c);
void eng_h_alarms_get(srv_call *c);
void eng_h_alarms_post(srv_call *c);
void eng_h_ip_names_get(srv_call *c);
void eng_h_ip_names_post(srv_call *c);

// eng_sys.cpp: processes, signals, logs.
void eng_h_sys_status(srv_call *c);
void eng_h_sys_sessions(srv_call *c);
void eng_h_sys_restart(srv_call *c);
void eng_h_sys_reload_module(srv_call *c);
void eng_h_notify_scales(srv_call *c);
void eng_h_sys_reload_ini(srv_call *c);
void eng_h_sys_reload_trust(srv_call *c);
void eng_h_logs_list(srv_call *c);
void eng_h_logs_read(srv_call *c);
void eng_h_ctrllog_dates(srv_call *c);
void eng_h_ctrllog(srv_call *c);

// eng_channels.cpp: channel rows and PLC polling groups.
void eng_h_channels(srv_call *c);
void eng_h_channel_scale(srv_call *c);
void eng_h_save(srv_call *c);
void eng_h_groups(srv_call *c);
void eng_h_logix_groups(srv_call *c);
void eng_h_logix_group(srv_call *c);
