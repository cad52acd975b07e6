#include "protocol/Errors.h"

#include <cmath>
#include <cstdio>
#include <utility>

namespace zol {

ERangeError::ERangeError(TError Error)
    : std::range_error(ErrorCodeName(Error.Code)), Details(std::move(Error)) {}

const char *ErrorCodeName(TErrorCode Code) {
  switch (Code) {
  case TErrorCode::NotANumber:
    return "not-a-number";
  case TErrorCode::OutOfRange:
    return "out-of-range";
  case TErrorCode::ClockNotADate:
    return "clock-not-a-date";
  case TErrorCode::ClockOutOfRange:
    return "clock-out-of-range";
  case TErrorCode::HistoryIndexOutOfRange:
    return "history-index-out-of-range";
  case TErrorCode::HistoryInterrupted:
    return "history-interrupted";
  case TErrorCode::HistoryGone:
    return "history-gone";
  case TErrorCode::HistoryNoAnswer:
    return "history-no-answer";
  case TErrorCode::WriteAllInterrupted:
    return "write-all-interrupted";
  case TErrorCode::ReadAllInterrupted:
    return "read-all-interrupted";
  case TErrorCode::CannotRead:
    return "cannot-read";
  case TErrorCode::CannotWrite:
    return "cannot-write";
  case TErrorCode::WrongFileStart:
    return "wrong-file-start";
  case TErrorCode::FileTooShort:
    return "file-too-short";
  case TErrorCode::Unexpected:
    break;
  }
  return "unexpected";
}

const char *SystemReasonName(TSystemReason Reason) {
  switch (Reason) {
  case TSystemReason::NotFound:
    return "not-found";
  case TSystemReason::PermissionDenied:
    return "permission-denied";
  case TSystemReason::IsADirectory:
    return "is-a-directory";
  case TSystemReason::NotADirectory:
    return "not-a-directory";
  case TSystemReason::NoSpace:
    return "no-space";
  case TSystemReason::QuotaExceeded:
    return "quota-exceeded";
  case TSystemReason::ReadOnlyFileSystem:
    return "read-only-file-system";
  case TSystemReason::InputOutput:
    return "input-output";
  case TSystemReason::NameTooLong:
    return "name-too-long";
  case TSystemReason::CharacterDevice:
    return "character-device";
  case TSystemReason::BlockDevice:
    return "block-device";
  case TSystemReason::Fifo:
    return "fifo";
  case TSystemReason::Socket:
    return "socket";
  case TSystemReason::NotAFile:
    return "not-a-file";
  case TSystemReason::HardLinks:
    return "hard-links";
  case TSystemReason::ReadOnlyFile:
    return "read-only-file";
  case TSystemReason::ForeignLink:
    return "foreign-link";
  case TSystemReason::Other:
    break;
  }
  return "other";
}

std::string EnglishSystemReason(const TSystemError &Error) {
  switch (Error.Reason) {
  case TSystemReason::NotFound:
    return "No such file or directory";
  case TSystemReason::PermissionDenied:
    return "Permission denied";
  case TSystemReason::IsADirectory:
    return "Is a directory";
  case TSystemReason::NotADirectory:
    return "Not a directory";
  case TSystemReason::NoSpace:
    return "No space left on device";
  case TSystemReason::QuotaExceeded:
    return "Disk quota exceeded";
  case TSystemReason::ReadOnlyFileSystem:
    return "Read-only file system";
  case TSystemReason::InputOutput:
    return "Input/output error";
  case TSystemReason::NameTooLong:
    return "File name too long";
  case TSystemReason::CharacterDevice:
    return "not a regular file: a character device";
  case TSystemReason::BlockDevice:
    return "not a regular file: a block device";
  case TSystemReason::Fifo:
    return "not a regular file: a FIFO";
  case TSystemReason::Socket:
    return "not a regular file: a socket";
  case TSystemReason::NotAFile:
    return "not a regular file";
  case TSystemReason::HardLinks:
    return "the file has " + std::to_string(Error.Count) +
           " names (hard links); a new file would leave the others behind";
  case TSystemReason::ReadOnlyFile: {
    if (Error.Count == 0)
      return "the file is read-only: it is left as it was";
    char Mode[8];
    std::snprintf(Mode, sizeof Mode, "%04o", Error.Count & 07777u);
    return std::string("the file is read-only (permissions ") + Mode + "): it is left as it was";
  }
  case TSystemReason::ForeignLink:
    return "a symbolic link of another user in a folder open to all; the system would not follow "
           "it either";
  case TSystemReason::Other:
    break;
  }
  return Error.Text.empty() ? std::string("the system gave no reason") : Error.Text;
}

std::string FormatTenth(double Value) {
  if (std::isnan(Value))
    return "NaN";
  if (std::isinf(Value))
    return Value > 0 ? "+Inf" : "-Inf";
  char Text[64];
  std::snprintf(Text, sizeof Text, "%.1f", Value);
  return Text;
}

} // namespace zol
