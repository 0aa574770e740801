// File-system helpers shared by the subsystems.
#pragma once

#include <string>
#include <string_view>

namespace vexo {

// Joins like the host's os.path.join for two parts on this platform.
std::string path_join(std::string_view base, std::string_view name);

// ValueError when `path` holds a NUL character (the operating system would
// silently cut it there and open another file).
void require_plain_path(const std::string& path);

// Reads a whole file; FileNotFound / IoError naming the path on failure.
std::string read_file(const std::string& path);

// Writes `content` to a temporary file beside `path` and renames it into
// place, so `path` is either untouched or complete.
void write_file_atomic(const std::string& path, std::string_view content);

}  // namespace vexo
