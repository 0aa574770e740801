#include "core/fast_json.h"

#include <charconv>
#include <cmath>

#include "core/errors.h"

namespace vexo::fastjson {

const Value* Value::find(std::string_view key) const {
  for (std::size_t k = keys.size(); k-- > 0;) {
    if (keys[k] == key) return &values[k];
  }
  return nullptr;
}

namespace {

constexpr int kMaxDepth = 512;

struct Parser {
  std::string_view t;
  std::size_t p = 0;
  const std::string& ctx;

  [[noreturn]] void fail(const char* what) const {
    throw ValueError("invalid JSON in '" + ctx + "' at byte " + std::to_string(p) + ": " + what);
  }
  void ws() {
    while (p < t.size() && (t[p] == ' ' || t[p] == '\n' || t[p] == '\r' || t[p] == '\t')) ++p;
  }
  bool lit(std::string_view word) {
    if (t.substr(p, word.size()) != word) return false;
    p += word.size();
    return true;
  }

  static void put_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  std::uint32_t hex4() {
    if (p + 4 > t.size()) fail("truncated \\u escape");
    std::uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = t[p++];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        fail("bad \\u escape");
      }
    }
    return v;
  }

  // Validates one UTF-8 sequence starting at p (first byte >= 0x80).
  void utf8_seq(std::string& out) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(t[k]); };
    unsigned char c = byte(p);
    int len;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      fail("invalid UTF-8");
    }
    if (p + static_cast<std::size_t>(len) > t.size()) fail("invalid UTF-8");
    for (int k = 1; k < len; ++k) {
      unsigned char cc = byte(p + static_cast<std::size_t>(k));
      if ((cc & 0xC0) != 0x80) fail("invalid UTF-8");
      cp = (cp << 6) | (cc & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
      fail("invalid UTF-8");
    }
    out.append(t.substr(p, static_cast<std::size_t>(len)));
    p += static_cast<std::size_t>(len);
  }

  std::string str() {
    ++p;  // opening quote
    std::string out;
    for (;;) {
      std::size_t run = p;
      while (p < t.size()) {
        unsigned char c = static_cast<unsigned char>(t[p]);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++p;
      }
      out.append(t.substr(run, p - run));
      if (p >= t.size()) fail("unterminated string");
      unsigned char c = static_cast<unsigned char>(t[p]);
      if (c == '"') {
        ++p;
        return out;
      }
      if (c < 0x20) fail("control character in string");
      if (c >= 0x80) {
        utf8_seq(out);
        continue;
      }
      ++p;  // backslash
      if (p >= t.size()) fail("unterminated string");
      char e = t[p++];
      switch (e) {
        case '"':
          out.push_back('"');
          break;
        case '\\':
          out.push_back('\\');
          break;
        case '/':
          out.push_back('/');
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u': {
          std::uint32_t cp = hex4();
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (!(p + 1 < t.size() && t[p] == '\\' && t[p + 1] == 'u')) fail("lone surrogate");
            p += 2;
            std::uint32_t lo = hex4();
            if (lo < 0xDC00 || lo > 0xDFFF) fail("lone surrogate");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            fail("lone surrogate");
          }
          put_utf8(out, cp);
          break;
        }
        default:
          fail("bad escape");
      }
    }
  }

  void number(Value& v) {
    std::size_t start = p;
    if (t[p] == '-') ++p;
    if (p >= t.size()) fail("bad number");
    if (t[p] == '0') {
      ++p;
    } else if (t[p] >= '1' && t[p] <= '9') {
      while (p < t.size() && t[p] >= '0' && t[p] <= '9') ++p;
    } else {
      fail("bad number");
    }
    bool integral = true;
    if (p < t.size() && t[p] == '.') {
      integral = false;
      ++p;
      if (p >= t.size() || t[p] < '0' || t[p] > '9') fail("bad number");
      while (p < t.size() && t[p] >= '0' && t[p] <= '9') ++p;
    }
    if (p < t.size() && (t[p] == 'e' || t[p] == 'E')) {
      integral = false;
      ++p;
      if (p < t.size() && (t[p] == '+' || t[p] == '-')) ++p;
      if (p >= t.size() || t[p] < '0' || t[p] > '9') fail("bad number");
      while (p < t.size() && t[p] >= '0' && t[p] <= '9') ++p;
    }
    const char* b = t.data() + start;
    const char* e = t.data() + p;
    if (integral) {
      auto r = std::from_chars(b, e, v.i);
      if (r.ec == std::errc() && r.ptr == e) {
        v.kind = Kind::Int;
        return;
      }
    }
    auto r = std::from_chars(b, e, v.d, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
      // Overflow is an error (as in the general reader); underflow reads 0.
      std::string_view digits(b, static_cast<std::size_t>(e - b));
      std::size_t epos = digits.find_first_of("eE");
      bool neg_exp =
          epos != std::string_view::npos && epos + 1 < digits.size() && digits[epos + 1] == '-';
      if (!neg_exp) fail("number out of range");
      v.d = 0.0;
    } else if (r.ec != std::errc() || r.ptr != e) {
      fail("bad number");
    }
    v.kind = Kind::Float;
  }

  void value(Value& v, int depth) {
    if (depth > kMaxDepth) fail("nesting too deep");
    ws();
    if (p >= t.size()) fail("unexpected end");
    char c = t[p];
    if (c == '{') {
      ++p;
      v.kind = Kind::Object;
      ws();
      if (p < t.size() && t[p] == '}') {
        ++p;
        return;
      }
      for (;;) {
        ws();
        if (p >= t.size() || t[p] != '"') fail("expected a key");
        std::string key = str();
        ws();
        if (p >= t.size() || t[p] != ':') fail("expected ':'");
        ++p;
        v.keys.push_back(std::move(key));
        v.values.emplace_back();
        value(v.values.back(), depth + 1);
        ws();
        if (p < t.size() && t[p] == ',') {
          ++p;
          continue;
        }
        if (p < t.size() && t[p] == '}') {
          ++p;
          return;
        }
        fail("expected ',' or '}'");
      }
    }
    if (c == '[') {
      ++p;
      v.kind = Kind::Array;
      ws();
      if (p < t.size() && t[p] == ']') {
        ++p;
        return;
      }
      for (;;) {
        v.items.emplace_back();
        value(v.items.back(), depth + 1);
        ws();
        if (p < t.size() && t[p] == ',') {
          ++p;
          continue;
        }
        if (p < t.size() && t[p] == ']') {
          ++p;
          return;
        }
        fail("expected ',' or ']'");
      }
    }
    if (c == '"') {
      v.kind = Kind::String;
      v.s = str();
      return;
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      number(v);
      return;
    }
    if (lit("true")) {
      v.kind = Kind::Bool;
      v.b = true;
      return;
    }
    if (lit("false")) {
      v.kind = Kind::Bool;
      return;
    }
    if (lit("null")) return;
    fail("unexpected character");
  }
};

}  // namespace

Value parse(std::string_view text, const std::string& ctx) {
  Parser ps{text, 0, ctx};
  if (text.substr(0, 3) == "\xEF\xBB\xBF") ps.p = 3;
  Value root;
  ps.value(root, 0);
  ps.ws();
  if (ps.p != text.size()) ps.fail("trailing characters");
  return root;
}

}  // namespace vexo::fastjson
