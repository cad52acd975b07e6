#pragma once

#include <string>

namespace zol {

/// What the journal needs of the operating system, one file per system (JournalSystemPosix.cpp,
/// JournalSystemWin32.cpp), picked by the build.

/// The journal's place in the user's data folder, without ZOLCFG_JOURNAL; empty when the
/// system names no such folder.
std::string SystemJournalPath();
/// Makes the folder of the file FilePath and the folders above it that are missing, open to
/// their owner only; empty when done (or already there), else what went wrong.
std::string MakeFoldersFor(const std::string &FilePath);
/// True when something exists at Path.
bool PathExists(const std::string &Path);
/// The user's login name, empty when the system does not tell.
std::string SystemUserName();
/// The machine's name, empty when the system does not tell.
std::string SystemHostName();

} // namespace zol
