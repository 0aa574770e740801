// File-system helpers shared by the subsystems.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vexo {

// Joins like the host's os.path.join for two parts on this platform.
std::string path_join(std::string_view base, std::string_view name);

// ValueError when `path` holds a NUL character (the operating system would
// silently cut it there and open another file).
void require_plain_path(const std::string& path);

// The error of a failed system call on `path`: FileNotFound for ENOENT,
// IoError otherwise, with the errno value and its text. `what` says what was
// being done ("cannot write frame file").
[[noreturn]] void throw_os_error(const std::string& what, int err, const std::string& path);

// Reads a whole file; FileNotFound / IoError naming the path on failure.
std::string read_file(const std::string& path);

struct WriteOptions {
  bool durable = true;      // flush the content to the device before the rename
  bool sweep_stale = true;  // first remove temporaries of this target left by dead writers
  const char* what = "cannot write";  // start of the error text
  std::string shown_path;             // the path named in errors, when not `path`
};

// Writes `content` to a temporary file beside `path` and renames it into
// place, so `path` is either untouched or complete. A symbolic link is
// followed and its target replaced in the target's folder; a replaced file
// keeps its mode, and its owner where the process may set it. A target the
// caller may not write is an error naming it, as is a folder that does not
// allow the temporary file beside it. The temporary is locked while it is
// written, so a later write can tell one left by a killed writer.
void write_file_atomic(const std::string& path, std::string_view content,
                       const WriteOptions& options = {});

// Removes the temporaries of write_file_atomic in `dir` whose writers are
// gone: those of the file `name`, or of every file when `name` is empty.
// Returns how many were removed.
std::size_t remove_stale_temporaries(const std::string& dir, std::string_view name = {});

// True for the name of a temporary of write_file_atomic (".<name>.tmp<pid>_<n>").
bool is_write_temporary(std::string_view name);

// Creates `path` with any missing parents. A failure names the part of the
// path that could not be created, or the file in the way of a folder;
// `shown` is the folder named as the aim (path when empty).
void create_folders(const std::string& path, const std::string& shown = {});

}  // namespace vexo
