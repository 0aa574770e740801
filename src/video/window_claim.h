// Claiming a window folder for this process before writing it: a lock per
// window, so two processes cutting the same clip into one output folder
// never write the same window at once, and a staging folder of this
// process's own that is renamed into place when the window is complete.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace vexo::video {

class WindowClaim {
 public:
  enum class Outcome {
    kClaimed,  // the window is this process's to write
    kDone,     // its folder exists
    kBusy,     // another live process holds it
  };

  // Tries to claim the window folder `folder` (never waits). On kClaimed,
  // `out` holds the claim: staging folders left by dead runs are removed and
  // a fresh one is made.
  static Outcome try_claim(const std::string& folder, std::unique_ptr<WindowClaim>& out);

  // Where the window's files go until commit().
  const std::string& staging() const { return staging_; }

  // Renames the staging folder to the window folder, never over an existing
  // one (a window finished by someone else meanwhile is kept, and this copy
  // dropped).
  void commit();

  // Releases the lock; a window not committed leaves nothing behind (its
  // staging folder, and its parent folder when that is empty, are removed).
  ~WindowClaim();
  WindowClaim(const WindowClaim&) = delete;
  WindowClaim& operator=(const WindowClaim&) = delete;

 private:
  WindowClaim(int fd, std::string lock_path, std::string folder);

  int fd_;
  std::string lock_path_, folder_, staging_;
  bool committed_ = false;
};

// True for the names of staging folders and window locks
// (".right_cropped_frames.partial...", ".left_cropped_frames.lock"), which
// listings of finished output leave out.
bool is_staging_name(std::string_view name);

}  // namespace vexo::video
