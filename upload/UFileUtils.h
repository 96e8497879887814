// Small file-system routines of the upload: the folder listing that yields
// the files to archive, the temporary folder, a file's size, local time
// stamps and text in the locale's character set.
#pragma once

#include "platform/SysUtils.h"  // Utf8ToUtf16

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace orvant {

// Appends to list the full paths of the regular files in folder (a trailing
// '/' is added when missing) whose names match mask ("*" and "*.*" match
// every name), in the order the directory yields them. Names beginning with
// "." are skipped, as are directories and special files (pipes, devices,
// sockets), which cannot be packed. With subFolders the files of every
// subfolder not beginning with "." follow, depth first; symbolic links to
// folders are not descended, so a link loop cannot recurse without end.
// A missing folder appends nothing. The list is never sorted or emptied.
void ListFolderFiles(std::vector<std::string>& list, const std::string& folder,
                     const std::string& mask, bool subFolders);

// The system temporary folder (TMPDIR, else /tmp) with a trailing '/'.
// Raises Exception("Unable to locate temp folder.") when no usable path is
// found (shorter than 3 characters).
std::string GetTempFolder();

// Size of the file at path as its low 32 bits, 0 when there is no such file
// (or it is not a regular file).
int32_t GetFileSizeOf(const std::string& path);

// Local time formatted by pattern, where "yy", "mm", "dd", "hh", "nn", "ss"
// and "zzz" stand for the two-digit year, month, day, hour (00-23), minutes,
// seconds and milliseconds; other characters are copied.
std::string FormatLocalTime(const std::string& pattern,
                            std::chrono::system_clock::time_point t = std::chrono::system_clock::now());

// utf8 converted to the character set of the current locale (LC_CTYPE);
// characters the set cannot represent become '?'. Bytes that are not valid
// UTF-8 also become '?'.
std::string ToLocaleCharset(const std::string& utf8);

}  // namespace orvant
