#include "platform/DurableFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace platform {

namespace {

class TDescriptor {
 public:
  explicit TDescriptor(int fd) : fd_(fd) {}
  ~TDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

  // close() can report a deferred write error (network file systems, quota), so it is checked.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Removes the sibling file unless the rename took it over.
class TSiblingGuard {
 public:
  explicit TSiblingGuard(std::filesystem::path path) : path_(std::move(path)) {}
  ~TSiblingGuard() {
    if (!committed_) ::unlink(path_.c_str());
  }
  TSiblingGuard(const TSiblingGuard&) = delete;
  TSiblingGuard& operator=(const TSiblingGuard&) = delete;

  void Commit() { committed_ = true; }

 private:
  std::filesystem::path path_;
  bool committed_ = false;
};

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Writing through a link must keep the link; renaming over the link itself would replace it.
std::filesystem::path ResolveLink(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error))) return path;
  std::filesystem::path target = std::filesystem::canonical(path, error);
  return error ? path : target;
}

// A writer killed halfway leaves its sibling behind; without this, every crash during a save
// would add one more hidden file beside the user's settings.
void RemoveSiblingsOfEndedProcesses(const std::filesystem::path& folder, const std::string& prefix) {
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(prefix) || !name.ends_with(".tmp")) continue;
    const std::string rest = name.substr(prefix.size());
    const auto dot = rest.find('.');
    if (dot == std::string::npos || dot == 0) continue;
    char* parsedEnd = nullptr;
    const long pid = std::strtol(rest.c_str(), &parsedEnd, 10);
    if (parsedEnd != rest.c_str() + dot || pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    std::error_code ignored;
    std::filesystem::remove(it->path(), ignored);
  }
}

// Two writers in one process, or a stale leftover of a crashed run, must not share a sibling.
TDescriptor CreateSibling(const std::filesystem::path& target, std::filesystem::path& sibling) {
  static std::atomic<unsigned> counter{0};
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  const std::string prefix = "." + target.filename().string() + ".";
  RemoveSiblingsOfEndedProcesses(folder, prefix);
  const std::string stem = prefix + std::to_string(::getpid());
  for (int attempt = 0; attempt < 100; ++attempt) {
    sibling = folder / (stem + "." + std::to_string(counter.fetch_add(1)) + ".tmp");
    const int fd = ::open(sibling.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return TDescriptor(fd);
  }
  return TDescriptor(-1);
}

void SyncFolder(const std::filesystem::path& target) {
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  TDescriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // The new contents are in place either way; this only makes the rename survive a power cut.
  if (fd.valid()) ::fsync(fd.get());
}

}  // namespace

TFileContents ReadWholeFile(const std::filesystem::path& path, std::size_t maxBytes) {
  TFileContents result;
  // Non-blocking, so that a pipe left at the path cannot hang the caller before fstat rejects it.
  TDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) {
    result.status =
        (errno == ENOENT || errno == ENOTDIR) ? TFileReadStatus::Missing : TFileReadStatus::Failed;
    return result;
  }
  result.status = TFileReadStatus::Failed;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return result;
  if (info.st_size < 0 || static_cast<unsigned long long>(info.st_size) > maxBytes) return result;

  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(info.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return result;
    }
    if (got == 0) break;
    // The file may have grown since fstat.
    if (static_cast<std::size_t>(got) > maxBytes - bytes.size()) return result;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  result.status = TFileReadStatus::Read;
  result.contents = std::move(bytes);
  return result;
}

bool ReplaceFileDurably(const std::filesystem::path& path, std::string_view contents,
                        bool ownerOnly) {
  if (path.empty() || !path.has_filename()) return false;
  const std::filesystem::path target = ResolveLink(path);

  struct stat existing {};
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) return false;

  std::filesystem::path siblingPath;
  TDescriptor sibling = CreateSibling(target, siblingPath);
  if (!sibling.valid()) return false;
  TSiblingGuard guard(siblingPath);

  // A settings file the user restricted to the owner must not become world-readable on rewrite,
  // nor change hands when a more privileged process rewrites it. Both are best effort.
  if (exists) {
    [[maybe_unused]] const int owner = ::fchown(sibling.get(), existing.st_uid, existing.st_gid);
    ::fchmod(sibling.get(), existing.st_mode & 07777);
  }
  if (ownerOnly && ::fchmod(sibling.get(), S_IRUSR | S_IWUSR) != 0) return false;

  if (!WriteAll(sibling.get(), contents)) return false;
  if (::fsync(sibling.get()) != 0) return false;
  if (!sibling.Close()) return false;
  if (::rename(siblingPath.c_str(), target.c_str()) != 0) return false;
  guard.Commit();
  SyncFolder(target);
  return true;
}

}  // namespace platform
