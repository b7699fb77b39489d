// The backups a full log file is moved into: "<name>.Bak" the newest, then "<name>.Bak.1",
// "<name>.Bak.2", ... each older than the one before, as many as the log and they fit in a bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

class TLogBackups {
 public:
  // The log file holds at most `maxFileSize` bytes; it and the backups together `maxTotalSize`.
  TLogBackups(std::filesystem::path newest, std::uintmax_t maxFileSize,
              std::uintmax_t maxTotalSize);

  const std::filesystem::path& Newest() const { return newest_; }
  // Backup `age` places older than the newest (0 is the newest).
  std::filesystem::path Path(std::size_t age) const;

  // Moves `log` to the newest backup after moving every backup one place older, all by renames,
  // then deletes the oldest ones past the bound. Returns why it stopped, empty when it did not:
  // lines are moved or left where they were, never lost to a failed step.
  std::string Rotate(const std::filesystem::path& log) const;

 private:
  void DeletePastBound() const;

  const std::filesystem::path newest_;
  const std::uintmax_t maxFileSize_;
  const std::uintmax_t maxTotalSize_;
  // Backup names in use: room for the log itself is kept within the bound.
  const std::size_t slots_;
};
