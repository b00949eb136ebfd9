#pragma once

// Replaces a file that other programs read so that they see either the old
// or the new content whole, even across a power cut or a second writer:
// unique temporary file in the same directory (mkstemp), checked writes and
// close, fsync, rename over the final name, fsync of the directory.

#include <cstddef>
#include <string>

// mode < 0: keep the mode of the file being replaced, 0644 for a new file.
// The owner and group of a replaced file are kept where the caller may set them.
// Returns 0, or -1 with errno set (the temporary file is removed and the
// old file is left untouched).
int atomic_file_write(const char *path, const void *data, size_t len, int mode = -1);
int atomic_file_write(const std::string &path, const std::string &data, int mode = -1);
// Keeps (std::string path, pointer, length) from binding to the overload
// above with the length taken as the mode.
int atomic_file_write(const std::string &path, const void *data, size_t len, int mode = -1);
