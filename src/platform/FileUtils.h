#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Small line-list files that the virtual device writes and the platform
// stand-ins read. Everything here treats the text as hostile: sizes are
// capped before anything is kept.
namespace platform {

// Reads at most maxBytes + 1 bytes of the file, so a caller can tell that the
// file was longer than allowed. False when the file cannot be opened or read.
bool readFilePrefix(const std::string& path, size_t maxBytes, std::string& out);

// Writes text to a temporary file in the same folder and renames it over
// path, so a reader sees the old or the new contents, never a mix.
bool writeFileAtomically(const std::string& path, std::string_view text);

// The lines of text, with a trailing '\r' removed, limited to the first
// maxBytes bytes; a line cut by that limit is dropped. A line longer than
// maxLine bytes is skipped whole. The text after the last '\n' counts as a
// line. fn returns false to stop early.
void forEachBoundedLine(std::string_view text, size_t maxBytes, size_t maxLine,
                        const std::function<bool(std::string_view line)>& fn);

}  // namespace platform
