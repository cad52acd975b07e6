#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/Errors.h"

namespace zol {

/// What the system's file services need to say about one read or replace.
struct TSystemFileResult {
  bool Ok = false;
  /// Why it failed (NotFound, a FIFO, a read-only file, the system's own words for the rest).
  TSystemError Error;
  /// It failed because nothing has that name (or a folder on its way is missing).
  bool NotFound = false;
};

/// Reads at most Capacity bytes from the start of the regular file at Path (UTF-8); Count gets
/// the number read. Anything else (a folder, a device, a FIFO) is refused before it is read, so
/// a read never waits for a writer.
TSystemFileResult ReadFileStart(const std::string &Path, std::uint8_t *Buffer, std::size_t Capacity,
                                std::size_t &Count);

/// Gives the file at Path (UTF-8) the content Data, whole or not at all: a new file is written
/// beside it under a unique name (created exclusively), flushed to the disk, then renamed over
/// it. A symbolic link is followed and the file it names is replaced, but not another user's link
/// in a folder open to all and sticky (/tmp), which the system would not follow either. A target
/// that exists and is not a regular file, that has other names (hard links) or that is
/// read-only, is refused and left alone. On any failure the old file stays as it was and the new
/// one is removed.
TSystemFileResult ReplaceFileContent(const std::string &Path, const std::uint8_t *Data,
                                     std::size_t Count);

} // namespace zol
