// Whole-file reads and replacements that never leave a half-written file behind. Settings and
// language files are small, rewritten as a whole, and must survive a crash or a full disk intact.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace platform {

enum class TFileReadStatus {
  Read,     // contents holds the whole file
  Missing,  // nothing exists at the path (or a folder on the way is missing)
  Failed,   // something is there but it is not a readable regular file of at most maxBytes
};

struct TFileContents {
  TFileReadStatus status = TFileReadStatus::Missing;
  std::string contents;
};

// Reads a regular file completely. Special files (folders, pipes, devices) fail at once instead of
// blocking, and files larger than maxBytes fail instead of exhausting memory.
TFileContents ReadWholeFile(const std::filesystem::path& path, std::size_t maxBytes);

// Replaces the file at path with contents, or creates it: the bytes go to a fresh sibling file in
// the same folder, are flushed to the disk, and that file is then renamed over the original. On
// any failure (read-only or missing folder, disk full, path is a folder) the original stays as it
// was, the sibling is removed and false comes back. A symbolic link is followed, so the file it
// points at is replaced and the link stays. An existing file keeps its permission bits, unless
// ownerOnly asks for the file to be readable and writable by its owner alone (a file holding a
// password): the bytes then never exist in a file others may read.
bool ReplaceFileDurably(const std::filesystem::path& path, std::string_view contents,
                        bool ownerOnly = false);

}  // namespace platform
