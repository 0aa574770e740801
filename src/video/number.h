// A number as the host holds it, for window bounds in folder names and
// messages.
#pragma once

#include <cstdint>
#include <string>

#include "core/format.h"

namespace vexo::video {

// An integer, or a real once a real took part in the arithmetic. Window
// bounds are written into folder names and messages in this form (0, 10,
// 0.1, 0.30000000000000004, 2.0).
struct Number {
  bool is_int = true;
  std::int64_t i = 0;
  double d = 0.0;

  static Number integer(std::int64_t v) { return Number{true, v, 0.0}; }
  static Number real(double v) { return Number{false, 0, v}; }
  double value() const { return is_int ? static_cast<double>(i) : d; }
  std::string text() const { return is_int ? fmt_int(i) : fmt_float(d); }
};

inline Number operator+(const Number& a, const Number& b) {
  if (a.is_int && b.is_int) return Number::integer(a.i + b.i);
  return Number::real(a.value() + b.value());
}

}  // namespace vexo::video
