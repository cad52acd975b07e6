#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zol {

/// Why the system refused a file. Each front end words it; Other keeps the system's own words.
enum class TSystemReason : std::uint8_t {
  Other,
  NotFound,
  PermissionDenied,
  IsADirectory,
  NotADirectory,
  NoSpace,
  QuotaExceeded,
  ReadOnlyFileSystem,
  InputOutput,
  NameTooLong,
  /// Not a regular file: a character device, a block device, a FIFO (or pipe), a socket, or none
  /// of these.
  CharacterDevice,
  BlockDevice,
  Fifo,
  Socket,
  NotAFile,
  /// The file has Count names (hard links); a new file would leave the others behind.
  HardLinks,
  /// The file is read-only (Count: its permission bits where the system has them, else 0).
  ReadOnlyFile,
  /// A symbolic link of another user in a folder open to all, which the system would not follow.
  ForeignLink,
};

/// A file service's failure: the reason, and its value.
struct TSystemError {
  TSystemReason Reason = TSystemReason::Other;
  /// HardLinks: the number of names; ReadOnlyFile: the permission bits (0 where there are none).
  unsigned Count = 0;
  /// Other: the system's own words for it.
  std::string Text;
};

/// What went wrong in the core, with the values a message needs (in TError); each front end
/// words it in its own language.
enum class TErrorCode : std::uint8_t {
  /// Quantity (of Alarm, when not 0) is Value, which is not a number.
  NotANumber,
  /// Quantity (of Alarm) is Value, beyond the signed 16-bit tenths (kLowestTenths..kHighestTenths).
  OutOfRange,
  /// The clock Text (as "2000-01-01 00:00:00") is no valid date and time.
  ClockNotADate,
  /// The clock Text lies outside the instrument's day count (see kDeviceDays).
  ClockOutOfRange,
  /// History record Number cannot be asked for: the instrument numbers them 0 to kLastHistoryIndex.
  HistoryIndexOutOfRange,
  /// History record Number did not come: another command interrupted the read.
  HistoryInterrupted,
  /// History record Number did not come: the instrument went away.
  HistoryGone,
  /// History record Number did not come: the instrument did not answer its request.
  HistoryNoAnswer,
  /// Sending all settings was interrupted by another command: not every setting arrived.
  WriteAllInterrupted,
  /// Reading all settings was interrupted by another command.
  ReadAllInterrupted,
  /// The file Text could not be read (System says why).
  CannotRead,
  /// The file Text could not be written (System says why).
  CannotWrite,
  /// The file Text is not a parameter file: it does not start with kParamFileId.
  WrongFileStart,
  /// The file Text is not a parameter file: it is shorter than kParamFileLength bytes.
  FileTooShort,
  /// A chain stopped on something unforeseen; Text holds what the library said.
  Unexpected,
};

/// Every code, for front ends and their tests to walk.
inline constexpr TErrorCode kErrorCodes[] = {
    TErrorCode::NotANumber,
    TErrorCode::OutOfRange,
    TErrorCode::ClockNotADate,
    TErrorCode::ClockOutOfRange,
    TErrorCode::HistoryIndexOutOfRange,
    TErrorCode::HistoryInterrupted,
    TErrorCode::HistoryGone,
    TErrorCode::HistoryNoAnswer,
    TErrorCode::WriteAllInterrupted,
    TErrorCode::ReadAllInterrupted,
    TErrorCode::CannotRead,
    TErrorCode::CannotWrite,
    TErrorCode::WrongFileStart,
    TErrorCode::FileTooShort,
    TErrorCode::Unexpected,
};

/// Every system reason, for the same walk.
inline constexpr TSystemReason kSystemReasons[] = {
    TSystemReason::Other,
    TSystemReason::NotFound,
    TSystemReason::PermissionDenied,
    TSystemReason::IsADirectory,
    TSystemReason::NotADirectory,
    TSystemReason::NoSpace,
    TSystemReason::QuotaExceeded,
    TSystemReason::ReadOnlyFileSystem,
    TSystemReason::InputOutput,
    TSystemReason::NameTooLong,
    TSystemReason::CharacterDevice,
    TSystemReason::BlockDevice,
    TSystemReason::Fifo,
    TSystemReason::Socket,
    TSystemReason::NotAFile,
    TSystemReason::HardLinks,
    TSystemReason::ReadOnlyFile,
    TSystemReason::ForeignLink,
};

/// Which value a NotANumber or OutOfRange names.
enum class TQuantity : std::uint8_t { Value, SetPoint, Hysteresis, Delay };

/// One error of the core: its code and the values its message names.
struct TError {
  TErrorCode Code = TErrorCode::Unexpected;
  TQuantity Quantity = TQuantity::Value;
  /// The alarm (1 or 2) whose value it is; 0 when it is no alarm's.
  int Alarm = 0;
  /// The value refused (degrees or seconds, as Quantity says).
  double Value = 0.0;
  /// The history record.
  int Number = 0;
  /// The clock as written, the file's path, or the library's words (Unexpected).
  std::string Text;
  /// Why the system refused the file (CannotRead, CannotWrite).
  TSystemError System;
};

/// The signed 16-bit tenths a set point or hysteresis travels in.
inline constexpr int kLowestTenths = -32768;
inline constexpr int kHighestTenths = 32767;
/// History records are asked for by an index of one byte.
inline constexpr int kLastHistoryIndex = 255;

/// A value that a frame cannot carry (a set point beyond the signed 16-bit tenths, a date past
/// 65535 days, a number that is not finite, a history index beyond 255). what() gives the code's
/// name only: the front ends word Error().
class ERangeError : public std::range_error {
public:
  explicit ERangeError(TError Error);
  const TError &Error() const noexcept { return Details; }

private:
  TError Details;
};

/// A stable name for Code ("out-of-range"), for JSON output and logs.
const char *ErrorCodeName(TErrorCode Code);
/// A stable name for Reason ("not-found").
const char *SystemReasonName(TSystemReason Reason);

/// Reason in English, in the C library's words where it has them ("No such file or directory"):
/// for the simulator and zolctl, which speak English only.
std::string EnglishSystemReason(const TSystemError &Error);

/// Value with one decimal ("4000.0"), or "NaN", "+Inf", "-Inf".
std::string FormatTenth(double Value);

} // namespace zol
