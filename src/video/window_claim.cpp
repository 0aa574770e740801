#include "video/window_claim.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>
#include <vector>

#include "core/errors.h"
#include "core/fsutil.h"
#include "video/extraction.h"

namespace vexo::video {

namespace fs = std::filesystem;

namespace {

std::string parent_of(const std::string& folder) {
  const std::size_t slash = folder.rfind('/');
  return slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
}

std::string leaf_of(const std::string& folder) {
  const std::size_t slash = folder.rfind('/');
  return slash == std::string::npos ? folder : folder.substr(slash + 1);
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

// Removes the staging folders of `folder` in its parent: with the window's
// lock held, they are what dead runs left.
void remove_dead_staging(const std::string& folder) {
  const std::string parent = parent_of(folder);
  const std::string prefix = leaf_of(staging_folder(folder));
  std::vector<std::string> dead;
  if (DIR* d = ::opendir(parent.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      if (starts_with(e->d_name, prefix)) dead.push_back(parent + "/" + e->d_name);
    }
    ::closedir(d);
  }
  for (const auto& path : dead) {
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) {
      throw IoError("cannot remove the incomplete window: " + ec.message(), ec.value(), path);
    }
  }
}

}  // namespace

WindowClaim::WindowClaim(int fd, std::string lock_path, std::string folder)
    : fd_(fd), lock_path_(std::move(lock_path)), folder_(std::move(folder)) {}

WindowClaim::Outcome WindowClaim::try_claim(const std::string& folder,
                                            std::unique_ptr<WindowClaim>& out) {
  out.reset();
  if (exists(folder)) return Outcome::kDone;
  const std::string parent = parent_of(folder);
  const std::string lock_path = parent + "/." + leaf_of(folder) + ".lock";
  create_folders(parent, folder);
  int fd = -1;
  for (int attempt = 0;; ++attempt) {
    fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && attempt < 100) {
      // The parent was removed by a run that gave the window up.
      create_folders(parent, folder);
      continue;
    }
    if (fd < 0) throw_os_error("cannot create folder '" + folder + "'", errno, parent);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      if (err == EWOULDBLOCK) return Outcome::kBusy;
      throw_os_error("cannot lock the window '" + folder + "'", err, lock_path);
    }
    // The last holder removes the lock file as it lets go; a lock taken on
    // a removed file is no lock, so take the one now in place.
    struct stat held, named;
    if (::fstat(fd, &held) == 0 && ::stat(lock_path.c_str(), &named) == 0 &&
        held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
      break;
    }
    ::close(fd);
  }
  std::unique_ptr<WindowClaim> claim(new WindowClaim(fd, lock_path, folder));
  if (exists(folder)) {
    claim->committed_ = true;  // finished by the process that held it
    return Outcome::kDone;
  }
  remove_dead_staging(folder);
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  claim->staging_ = staging_folder(folder) + "." + std::to_string(::getpid()) + "_" +
                    std::to_string(rng() % 1000000000ULL);
  if (::mkdir(claim->staging_.c_str(), 0777) != 0) {
    const int err = errno;
    claim->staging_.clear();
    throw_os_error("cannot create folder '" + folder + "'", err, parent);
  }
  out = std::move(claim);
  return Outcome::kClaimed;
}

void WindowClaim::commit() {
  int err = 0;
  if (::renameat2(AT_FDCWD, staging_.c_str(), AT_FDCWD, folder_.c_str(), RENAME_NOREPLACE) != 0) {
    err = errno;
    if (err == EINVAL || err == ENOSYS) {
      // No such rename on this file system: the lock keeps other runs of
      // this library out, so a check before the rename does.
      err =
          exists(folder_) ? EEXIST : (::rename(staging_.c_str(), folder_.c_str()) == 0 ? 0 : errno);
    }
  }
  if (err == EEXIST || err == ENOTEMPTY) {
    std::error_code ec;
    fs::remove_all(staging_, ec);
    committed_ = true;
    return;
  }
  if (err) throw_os_error("cannot move the finished window into place", err, folder_);
  committed_ = true;
}

WindowClaim::~WindowClaim() {
  if (!committed_ && !staging_.empty()) {
    std::error_code ec;
    fs::remove_all(staging_, ec);
  }
  ::unlink(lock_path_.c_str());
  ::close(fd_);
  if (!committed_) ::rmdir(parent_of(folder_).c_str());
}

bool is_staging_name(std::string_view name) {
  for (std::string_view leaf : {".left_cropped_frames.", ".right_cropped_frames."}) {
    if (!starts_with(name, leaf)) continue;
    std::string_view rest = name.substr(leaf.size());
    return rest == "lock" || starts_with(rest, "partial");
  }
  return false;
}

}  // namespace vexo::video
