#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Small line-list files that the virtual device writes and the platform
// stand-ins read. Everything here treats the text as hostile: sizes are
// capped before anything is kept.
namespace platform {

// Reads at most maxBytes + 1 bytes of a regular file, so a caller can tell
// that the file was longer than allowed. False when the file cannot be opened
// or read or is not a regular file; errno then tells why (ENOENT: missing).
bool readFilePrefix(const std::string& path, size_t maxBytes, std::string& out);

// Writes text to a temporary file in the same folder, flushes it to disk and
// renames it over path, so a reader sees the old or the new contents, never a
// mix. The file keeps the permissions of the one it replaces (0644 when new).
bool writeFileAtomically(const std::string& path, std::string_view text);

// Writes every byte, going on after short writes and interruptions.
bool writeAll(int fd, std::string_view bytes);

// The lines of text, with a trailing '\r' removed, limited to the first
// maxBytes bytes; a line cut by that limit is dropped. A line longer than
// maxLine bytes is skipped whole. The text after the last '\n' counts as a
// line. fn returns false to stop early.
void forEachBoundedLine(std::string_view text, size_t maxBytes, size_t maxLine,
                        const std::function<bool(std::string_view line)>& fn);

}  // namespace platform
