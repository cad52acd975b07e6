#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "protocol/Errors.h"

namespace zol {

struct TZOLSettings;

/// What the user is shown when a file is not a parameter file (short, or a wrong identification).
inline constexpr char kFichierIncorrect[] = "  Fichier incorrect !  ";
/// The 16 characters a parameter file starts with, no length byte, no terminator.
inline constexpr char kParamFileId[] = "ZOLUSB V1.0-KOVA";
inline constexpr int kParamFileIdLength = 16;
/// Bytes of the settings image after the identification.
inline constexpr int kSettingsImageLength = 72;
/// A complete parameter file; longer files load, their extra bytes are ignored.
inline constexpr int kParamFileLength = kParamFileIdLength + kSettingsImageLength;

/// The outcome of reading or writing a parameter file.
struct TParamFileResult {
  bool Ok = false;
  /// Not Ok because the content is not a parameter file (show kFichierIncorrect); when false
  /// and not Ok, the file could not be opened, read or written.
  bool Refused = false;
  /// Why it was refused (WrongFileStart, FileTooShort) or failed (CannotRead, CannotWrite, with
  /// the system's reason); Text is the file's path.
  TError Error;
};

/// The 72 bytes of Settings as a file holds them: singles least significant byte first, padding
/// and tag bytes beyond the length as they are.
std::array<std::uint8_t, kSettingsImageLength> SettingsImage(const TZOLSettings &Settings);
/// Settings from a 72-byte image, every byte kept.
void SettingsFromImage(const std::uint8_t *Image, TZOLSettings &Settings);

/// Reads a parameter file into Settings; Settings is unchanged unless the result is Ok. Anything
/// but a regular file (a folder, a device, a FIFO) fails before it is opened for reading.
TParamFileResult ReadParameterFile(const std::string &Path, TZOLSettings &Settings);
/// Writes a parameter file: a temporary file beside Path, flushed to disk, then renamed over
/// Path (through a symbolic link, over the file it leads to; see ReplaceFileContent). A Path
/// that exists and is not a regular file, has hard links or is read-only, fails and is left
/// alone. On any failure Path is left as it
/// was and the temporary file is removed.
TParamFileResult WriteParameterFile(const std::string &Path, const TZOLSettings &Settings);

} // namespace zol
