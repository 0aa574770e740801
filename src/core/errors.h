// Typed errors of the core. The extension module maps each kind onto the
// matching Python exception; messages name the file, key or value at fault.
#pragma once

#include <stdexcept>
#include <string>

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
struct FileNotFound : Error {
  using Error::Error;
};
struct IoError : Error {
  using Error::Error;
};
// Raised from check_interrupt() when the host asked the work to stop.
struct Interrupted : Error {
  Interrupted() : Error("interrupted") {}
};

}  // namespace vexo
