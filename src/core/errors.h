// Typed errors of the core. The extension module maps each kind onto the
// matching Python exception; messages name the file, key or value at fault.
#pragma once

#include <cerrno>
#include <stdexcept>
#include <string>
#include <utility>

namespace vexo {

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct ValueError : Error {
  using Error::Error;
};
struct TypeError : Error {
  using Error::Error;
};
struct KeyError : Error {
  using Error::Error;
};
struct IndexError : Error {
  using Error::Error;
};
// A failure of the file system. With an operating-system error, `code` is its
// errno value, `reason` says what failed and why ("cannot write frame file:
// No space left on device") and `path` is the file as the caller named it;
// what() then reads "<reason>: '<path>'".
struct IoError : Error {
  explicit IoError(const std::string& message) : Error(message), reason(message) {}
  IoError(std::string why, int err, std::string file)
      : Error(why + ": '" + file + "'"), code(err), reason(std::move(why)), path(std::move(file)) {}
  int code = 0;
  std::string reason;
  std::string path;
};
struct FileNotFound : IoError {
  explicit FileNotFound(const std::string& message) : IoError(message) { code = ENOENT; }
  FileNotFound(std::string why, std::string file)
      : IoError(std::move(why), ENOENT, std::move(file)) {}
};
// Raised from check_interrupt() when the host asked the work to stop.
struct Interrupted : Error {
  Interrupted() : Error("interrupted") {}
};

}  // namespace vexo
