#include "core/fsutil.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "core/errors.h"

namespace vexo {

namespace {

// Most links a path may pass through, as the kernel allows.
constexpr int kMaxLinks = 40;

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string leaf_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a write of `path` lands in: the end of its chain of symbolic
// links (the folders above are left as they are).
std::string follow_links(const std::string& path, const std::string& shown) {
  std::string cur = path;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(cur.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return cur;
    if (hops == kMaxLinks) throw_os_error("cannot write", ELOOP, shown);
    std::vector<char> buf(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    ssize_t n;
    while ((n = ::readlink(cur.c_str(), buf.data(), buf.size())) >= 0 &&
           static_cast<std::size_t>(n) == buf.size()) {
      buf.resize(buf.size() * 2);
    }
    if (n < 0) throw_os_error("cannot follow the link", errno, cur);
    std::string target(buf.data(), static_cast<std::size_t>(n));
    if (target.empty() || target.front() != '/') {
      const std::size_t slash = cur.rfind('/');
      if (slash != std::string::npos) target = cur.substr(0, slash + 1) + target;
    }
    cur = std::move(target);
  }
}

bool process_gone(long pid) {
  if (pid <= 0 || pid == static_cast<long>(::getpid())) return false;
  return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// The writer's process id in a temporary's name, or -1.
long temporary_pid(std::string_view name) {
  const std::size_t at = name.rfind(".tmp");
  if (at == std::string_view::npos) return -1;
  long pid = 0;
  std::size_t i = at + 4;
  if (i >= name.size() || name[i] < '0' || name[i] > '9') return -1;
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
    pid = pid * 10 + (name[i] - '0');
    if (pid > 1L << 30) return -1;
  }
  return i < name.size() && name[i] == '_' ? pid : -1;
}

// Removes a temporary when its writer is gone: the writer's process no
// longer exists and nobody holds the temporary's lock.
bool remove_if_stale(const std::string& dir, const std::string& name) {
  if (!process_gone(temporary_pid(name))) return false;
  const std::string path = dir + "/" + name;
  int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool removed = false;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) removed = ::unlink(path.c_str()) == 0;
  ::close(fd);
  return removed;
}

std::string random_tag() {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  return std::to_string(rng() % 4294967296ULL);
}

}  // namespace

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

void throw_os_error(const std::string& what, int err, const std::string& path) {
  std::string why = what + ": " + std::strerror(err);
  if (err == ENOENT) throw FileNotFound(std::move(why), path);
  throw IoError(std::move(why), err, path);
}

std::string read_file(const std::string& path) {
  require_plain_path(path);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw_os_error("cannot read", errno, path);
  std::string out;
  char buf[1 << 16];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  const bool bad = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (bad) throw_os_error("cannot read", err ? err : EIO, path);
  return out;
}

bool is_write_temporary(std::string_view name) {
  return name.size() > 1 && name.front() == '.' && temporary_pid(name) >= 0;
}

std::size_t remove_stale_temporaries(const std::string& dir, std::string_view name) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) return 0;
  const std::string prefix = name.empty() ? std::string(".") : "." + std::string(name) + ".tmp";
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(d)) {
    std::string_view n(e->d_name);
    if (n.compare(0, prefix.size(), prefix) != 0 || !is_write_temporary(n)) continue;
    if (!name.empty() && n.rfind(".tmp") != prefix.size() - 4) continue;
    stale.emplace_back(n);
  }
  ::closedir(d);
  std::size_t removed = 0;
  for (const auto& n : stale) removed += remove_if_stale(dir, n);
  return removed;
}

void write_file_atomic(const std::string& path, std::string_view content,
                       const WriteOptions& options) {
  require_plain_path(path);
  const std::string& shown = options.shown_path.empty() ? path : options.shown_path;
  const std::string what = options.what;
  const std::string target = follow_links(path, shown);

  struct stat st;
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) throw_os_error(what, errno, shown);
  if (exists && S_ISDIR(st.st_mode)) throw_os_error(what, EISDIR, shown);
  // Renaming over a file needs only its folder: ask for the file itself.
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    throw_os_error(what, errno, shown);
  }

  const std::string dir = parent_of(target);
  const std::string leaf = leaf_of(target);
  if (options.sweep_stale) remove_stale_temporaries(dir, leaf);
  const std::string tmp =
      dir + "/." + leaf + ".tmp" + std::to_string(::getpid()) + "_" + random_tag();
  const mode_t create_mode = exists ? (st.st_mode & 0666) : 0666;
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, create_mode);
  if (fd < 0) {
    const int err = errno;
    if (exists && (err == EACCES || err == EPERM || err == EROFS)) {
      throw IoError("cannot replace '" + shown +
                        "' in place: the new content is written to a temporary file beside it "
                        "and renamed over it, and its folder does not allow that: " +
                        std::strerror(err),
                    err, dir);
    }
    throw_os_error(what, err, shown);
  }
  auto fail = [&](int err) {
    ::unlink(tmp.c_str());
    ::close(fd);
    throw_os_error(what, err, shown);
  };
  ::flock(fd, LOCK_EX);
  if (exists) {
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) {
      if (::fchown(fd, st.st_uid, st.st_gid) != 0)
        (void)!::fchown(fd, static_cast<uid_t>(-1), st.st_gid);
    }
    if (::fchmod(fd, st.st_mode & 07777) != 0) fail(errno);
  }
  const char* p = content.data();
  std::size_t left = content.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  if (options.durable && ::fsync(fd) != 0) fail(errno);
  if (::rename(tmp.c_str(), target.c_str()) != 0) fail(errno);
  // Closing reports late write failures of network file systems; the file in
  // place is then suspect and is said to be.
  if (::close(fd) != 0 && errno != EINTR) throw_os_error(what, errno, shown);
}

void create_folders(const std::string& path, const std::string& shown_as) {
  require_plain_path(path);
  const std::string& shown = shown_as.empty() ? path : shown_as;
  std::string prefix;
  std::size_t pos = 0;
  if (!path.empty() && path.front() == '/') {
    prefix = "/";
    pos = 1;
  }
  while (pos <= path.size()) {
    std::size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    if (slash > pos) {
      if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');
      prefix.append(path, pos, slash - pos);
      if (::mkdir(prefix.c_str(), 0777) != 0) {
        const int err = errno;
        struct stat st;
        if (err == EEXIST && ::stat(prefix.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
          // already there
        } else if (err == EEXIST || err == ENOTDIR) {
          throw IoError("cannot create folder '" + shown +
                            "', a file is in the way: " + std::strerror(ENOTDIR),
                        ENOTDIR, prefix);
        } else {
          throw_os_error("cannot create folder '" + shown + "'", err, prefix);
        }
      }
    }
    pos = slash + 1;
  }
}

}  // namespace vexo
