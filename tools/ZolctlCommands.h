#pragma once

#include <string>

#include "tools/ZolctlOutput.h"
#include "tools/ZolctlSession.h"

namespace zol {

/// What a command prints: JSON or text, and a status other than 0 with its message when the
/// command ran to its end but the instrument did not do all that was asked.
struct TResult {
  TJson Json = TJson::object();
  std::string Text;
  int Status = ZolctlExit::Done;
  std::string Message;
};

/// One command on one instrument's session (monitor writes its lines as they come).
using TCommandFunction = TResult (*)(TSession &Session);

/// The function that carries out Command (show needs no session: see ShowFile).
TCommandFunction CommandFunction(TZolctlCommand Command);

/// Prints a parameter file (show).
TResult ShowFile(const std::string &Path);

/// Reads a parameter file for show and load, once per run (the same Path again gives the copy
/// first read): anything that is not a regular file is refused (status 3) before it is opened,
/// and so is a file that is not a parameter file; ForSending, a value no frame carries ends it
/// with status 2.
TZOLSettings ReadFileOrExit(const std::string &Path, bool ForSending);

/// Checks that every value of Settings can go out in a frame and come back (the tag's letters
/// are sent in upper case); empty when so.
std::string CheckSendable(const TZOLSettings &Settings);

} // namespace zol
