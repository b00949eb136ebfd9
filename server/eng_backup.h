#pragma once
// Backups from the editor: the backup section of config.yaml, requests to
// the supervisor, archive downloads, and quick copies of config.yaml and
// channels.json into copy_base. The text rules are here for the tests.

#include <string>
#include <vector>

// Archive name a download may name: 8 to 96 of [A-Za-z0-9._-], ending in
// ".tar.gz", no "..".
bool eng_backup_name_ok(const char *name);

// "YYYYMMDD_HHMMSS" with digits in range (month 1-12, day 1-31, hour 0-23,
// minute and second 0-59).
bool eng_backup_stamp_ok(const char *stamp);

// The stamp inside a copy name: after the first "_" that is followed by
// eight digits, "_" and six digits; "" when there is none.
std::string eng_backup_stamp_of(const char *name);

// "HH:MM" with hours 0-23 and minutes 0-59.
bool eng_backup_schedule_ok(const char *text, int *hh, int *mm);

// Sets enabled, schedule and keep of the backup section of a config.yaml
// text, keeping its other keys (a custom dir among them) and comments; a
// missing section is written whole before the logix section (or at the
// end). Returns a YAML_EDIT_* code.
int eng_backup_section_set(std::string *text, bool enabled, int hh, int mm, int keep);

// True when the text has a top-level backup section.
bool eng_backup_has_section(const std::string &text);

// Copy name of a project file for a stamp: "config.yaml" ->
// "config_<stamp>.yaml", "name" -> "name_<stamp>".
std::string eng_backup_copy_name(const std::string &file, const std::string &stamp);

// Stamps to delete so that the newest `keep` stay, oldest first.
std::vector<std::string> eng_backup_old_stamps(std::vector<std::string> stamps, size_t keep);
