// Text of values as the host runtime writes them: shortest round-trip floats
// with at least one digit after the point, True/False, None, nan, inf, quoted
// strings inside lists, and bracketed lists.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexo {

std::string fmt_float(double v);  // 2.0, 0.30000000000000004, 1e-05, nan, inf
std::string fmt_bool(bool v);     // True / False
std::string fmt_int(std::int64_t v);
std::string fmt_str_repr(std::string_view s);  // 'text' as the host quotes it
// ".2f"-style fixed formatting with the host's rounding (round-half-even on
// the exact binary value).
std::string fmt_fixed(double v, int digits);

template <class T>
std::string fmt_value(const T& v);

inline std::string fmt_value_impl(double v) { return fmt_float(v); }
inline std::string fmt_value_impl(float v) { return fmt_float(static_cast<double>(v)); }
inline std::string fmt_value_impl(bool v) { return fmt_bool(v); }
inline std::string fmt_value_impl(int v) { return fmt_int(v); }
inline std::string fmt_value_impl(long v) { return fmt_int(v); }
inline std::string fmt_value_impl(long long v) { return fmt_int(v); }
inline std::string fmt_value_impl(unsigned v) { return fmt_int(v); }
inline std::string fmt_value_impl(const std::string& v) { return fmt_str_repr(v); }
inline std::string fmt_value_impl(const char* v) { return fmt_str_repr(v); }
template <class T>
std::string fmt_value_impl(const std::optional<T>& v) {
  return v ? fmt_value_impl(*v) : std::string("None");
}
template <class T>
std::string fmt_value_impl(const std::vector<T>& v) {
  std::string out = "[";
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    out += fmt_value_impl(v[i]);
  }
  out += "]";
  return out;
}
template <class A, class B>
std::string fmt_value_impl(const std::pair<A, B>& v) {
  return "(" + fmt_value_impl(v.first) + ", " + fmt_value_impl(v.second) + ")";
}

// The host's text of a value: numbers, booleans, optionals, strings (quoted),
// vectors (bracketed) and pairs (parenthesised).
template <class T>
std::string fmt_value(const T& v) {
  return fmt_value_impl(v);
}

// A number as the host holds it: an integer, or a real once a real took part
// in the arithmetic. Window bounds, thresholds and report areas are written
// into folder names, messages and tables in this form (0, 10, 0.1,
// 0.30000000000000004, 2.0). `shown` keeps the caller's own spelling where a
// message repeats what the caller passed (a numpy scalar prints its own way).
struct HostNumber {
  bool is_int = true;
  std::int64_t i = 0;
  double d = 0.0;
  std::string shown;  // empty: written from i or d

  static HostNumber integer(std::int64_t v) { return HostNumber{true, v, 0.0, {}}; }
  static HostNumber real(double v) { return HostNumber{false, 0, v, {}}; }
  double value() const { return is_int ? static_cast<double>(i) : d; }
  std::string text() const;
};
// Integer when both are integers, real otherwise (the caller's spelling is dropped).
HostNumber operator+(const HostNumber& a, const HostNumber& b);

// Joins parts with one space, as the host's print(a, b, c) does.
std::string join_space(const std::vector<std::string>& parts);

}  // namespace vexo
