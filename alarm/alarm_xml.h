#pragma once
// One-time conversion of the legacy alarm.xml (CP1251) into alarm.json. The
// XML is scanned as text, element by element, as the old tools wrote it.

#include <string>

// Converts the XML text into the definition file's text. Returns the number
// of values that were not usable as written (bad numbers written as 0,
// unknown conditions written as "gte"); each is logged.
int alarm_xml_convert(const std::string &xml, std::string *json);
// Reads xml_path, converts it and replaces json_path atomically. 0 or -1.
int alarm_import_xml(const char *xml_path, const char *json_path);
