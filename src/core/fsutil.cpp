#include "core/fsutil.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "core/errors.h"

namespace vexo {

std::string path_join(std::string_view base, std::string_view name) {
  if (!name.empty() && name.front() == '/') return std::string(name);
  if (base.empty()) return std::string(name);
  std::string out(base);
  if (out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

void require_plain_path(const std::string& path) {
  const std::size_t nul = path.find('\0');
  if (nul != std::string::npos) {
    throw ValueError("path holds a NUL character: '" + path.substr(0, nul) + "\\x00...'");
  }
}

std::string read_file(const std::string& path) {
  require_plain_path(path);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    int e = errno;
    if (e == ENOENT) throw FileNotFound("No such file or directory: '" + path + "'");
    throw IoError(std::string(std::strerror(e)) + ": '" + path + "'");
  }
  std::string out;
  char buf[1 << 16];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  bool bad = std::ferror(f);
  std::fclose(f);
  if (bad) throw IoError("cannot read '" + path + "'");
  return out;
}

void write_file_atomic(const std::string& path, std::string_view content) {
  namespace fs = std::filesystem;
  require_plain_path(path);
  fs::path target(path);
  fs::path dir = target.parent_path();
  std::random_device rd;
  std::string tmp_name = "." + target.filename().string() + ".tmp" + std::to_string(::getpid()) +
                         "_" + std::to_string(rd());
  fs::path tmp = dir.empty() ? fs::path(tmp_name) : dir / tmp_name;
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) {
    int e = errno;
    if (e == ENOENT) throw FileNotFound("No such file or directory: '" + path + "'");
    throw IoError(std::string(std::strerror(e)) + ": '" + path + "'");
  }
  bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  ok = (std::fflush(f) == 0) && ok;
  ok = (::fsync(fileno(f)) == 0) && ok;
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    std::remove(tmp.c_str());
    throw IoError("cannot write '" + path + "'");
  }
  std::error_code ec;
  fs::rename(tmp, target, ec);
  if (ec) {
    std::remove(tmp.c_str());
    throw IoError("cannot replace '" + path + "': " + ec.message());
  }
}

}  // namespace vexo
