#include "core/format.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace vexo {

std::string fmt_float(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  // Shortest digits that read back as v, in scientific form: d.ddde[+-]x.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  bool neg = false;
  std::size_t pos = 0;
  if (sci[0] == '-') {
    neg = true;
    pos = 1;
  }
  std::size_t epos = sci.find('e');
  std::string mant = sci.substr(pos, epos - pos);
  int exp10 = std::stoi(sci.substr(epos + 1));
  std::string digits;
  for (char c : mant)
    if (c != '.') digits.push_back(c);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int decpt = exp10 + 1;  // position of the point relative to the digits
  std::string out = neg ? "-" : "";
  if (v == 0.0) return neg ? "-0.0" : "0.0";
  if (decpt > 16 || decpt < -3) {
    out += digits.substr(0, 1);
    if (digits.size() > 1) {
      out += ".";
      out += digits.substr(1);
    }
    int e = decpt - 1;
    char ebuf[16];
    std::snprintf(ebuf, sizeof ebuf, "e%c%02d", e < 0 ? '-' : '+', e < 0 ? -e : e);
    out += ebuf;
    return out;
  }
  if (decpt <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-decpt), '0');
    out += digits;
  } else if (static_cast<std::size_t>(decpt) >= digits.size()) {
    out += digits;
    out.append(static_cast<std::size_t>(decpt) - digits.size(), '0');
    out += ".0";
  } else {
    out += digits.substr(0, static_cast<std::size_t>(decpt));
    out += ".";
    out += digits.substr(static_cast<std::size_t>(decpt));
  }
  return out;
}

std::string fmt_bool(bool v) { return v ? "True" : "False"; }

std::string fmt_int(std::int64_t v) { return std::to_string(v); }

std::string fmt_str_repr(std::string_view s) {
  bool has_single = s.find('\'') != std::string_view::npos;
  bool has_double = s.find('"') != std::string_view::npos;
  char q = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, q);
  for (unsigned char c : s) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == static_cast<unsigned char>(q)) {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += q;
  return out;
}

std::string fmt_fixed(double v, int digits) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  // printf rounds the exact binary value half-to-even, as the host does.
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

std::string join_space(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += ' ';
    out += parts[i];
  }
  return out;
}

std::string HostNumber::text() const {
  if (!shown.empty()) return shown;
  return is_int ? fmt_int(i) : fmt_float(d);
}

HostNumber operator+(const HostNumber& a, const HostNumber& b) {
  if (a.is_int && b.is_int) return HostNumber::integer(a.i + b.i);
  return HostNumber::real(a.value() + b.value());
}

}  // namespace vexo
