#pragma once

// Build's version text: "<release> (<revision> <build date>)".
const char *zq_version_full();

// Writes ./run/<program>.version (the version text and a newline); failures
// are ignored because a read-only project must not stop a program.
void zq_version_write_run(const char *program);

// Handles a "--version" argument anywhere: prints "<program> <version>" and
// returns true.
bool zq_version_arg(int argc, char **argv);
