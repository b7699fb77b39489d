#include "LogBackups.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

TLogBackups::TLogBackups(fs::path newest, std::uintmax_t maxFileSize, std::uintmax_t maxTotalSize)
    : newest_(std::move(newest)),
      maxFileSize_(maxFileSize),
      maxTotalSize_(maxTotalSize),
      slots_(static_cast<std::size_t>(
          std::max<std::uintmax_t>(maxTotalSize / std::max<std::uintmax_t>(maxFileSize, 1), 2) -
          1)) {}

fs::path TLogBackups::Path(std::size_t age) const {
  if (age == 0) return newest_;
  fs::path path = newest_;
  path += "." + std::to_string(age);
  return path;
}

std::string TLogBackups::Rotate(const fs::path& log) const {
  std::error_code error;
  // A folder or device at a backup name was put there by someone else: moving it along or over it
  // is not the log's business, so nothing moves.
  for (std::size_t age = 0; age < slots_; ++age) {
    const fs::file_status status = fs::symlink_status(Path(age), error);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
      return "\"" + Path(age).string() + "\" is not a file";
    }
  }
  // Oldest first, so each rename goes to a name just vacated; the first one replaces the oldest.
  for (std::size_t age = slots_ - 1; age-- > 0;) {
    if (!fs::exists(fs::symlink_status(Path(age), error))) continue;
    fs::rename(Path(age), Path(age + 1), error);
    if (error) return "cannot move \"" + Path(age).string() + "\": " + error.message();
  }
  fs::rename(log, newest_, error);
  if (error) return "cannot move \"" + log.string() + "\": " + error.message();
  DeletePastBound();
  return {};
}

void TLogBackups::DeletePastBound() const {
  std::uintmax_t kept = 0;
  bool past = false;
  // Past the names in use it goes on while files follow, which a larger bound left behind.
  for (std::size_t age = 0;; ++age) {
    std::error_code error;
    const fs::path path = Path(age);
    const std::uintmax_t size = fs::file_size(path, error);
    if (error) {
      if (age >= slots_) return;
      continue;
    }
    // The newest backup stays even alone above the bound: it holds the lines just moved aside.
    past = past || (age > 0 && (age >= slots_ || kept + size + maxFileSize_ > maxTotalSize_));
    if (past) {
      fs::remove(path, error);
    } else {
      kept += size;
    }
  }
}
