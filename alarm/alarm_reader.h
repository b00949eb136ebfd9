#pragma once
// What the server needs from the alarm directory, so that it never decodes
// the alarm program's files by hand: the active list, a day's journal, the
// days that have one, an alarm's station and acknowledgement rights, and
// the acknowledgement request (alarm_ack.h).

#include <string>
#include <vector>

#include "alarm_ack.h"
#include "alarm_journal.h"

// alarms_active.json as stored; false when it cannot be read.
bool alarm_read_active(const std::string &dir, std::string *out);
// "{\"records\":[...]}" with every line of the day's journal that is valid
// JSON (a damaged line would make the whole answer unreadable).
std::string alarm_journal_json(const std::string &dir, int ymd);
// Days (YYYYMMDD) with a journal file, newest first, at most max.
std::vector<int> alarm_journal_days(const std::string &dir, size_t max);
// "YYYY-MM-DD" of YYYYMMDD.
std::string alarm_iso_date(int ymd);
// Station of an alarm by journal id: from the active list, else from the
// journal of the id's day; -1 when unknown.
long long alarm_station_of(const std::string &dir, long long journal_id);
// Whether ip may acknowledge alarms of the station: true unless alarm.json
// gives the station a non-empty "ack_ips" list without this address.
bool alarm_ack_allowed(const std::string &dir, long long station, const char *ip);
