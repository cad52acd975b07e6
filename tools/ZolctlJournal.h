#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>

#include "protocol/ZOL.h"
#include "tools/ZolctlArgs.h"
#include "tools/ZolctlOutput.h"

namespace zol {

/// zolctl's side of the set-up journal (journal/): the record each writing command leaves, the
/// journal command, and the sheet's last records. ZolctlJournal.cpp keeps them in the journal;
/// ZolctlNoJournal.cpp, for a build without SQLite, keeps none (the build picks one).

/// What a writing command did to one instrument.
struct TWork {
  TZolctlCommand Command = TZolctlCommand::WriteTag;
  TZOLModel Identity; ///< serial number, manufacturer, product, information block
  std::optional<TZOLSettings> Before;
  std::optional<TZOLSettings> After;
  int Status = 0;
  bool Interrupted = false;
  bool Differs = false; ///< a value read back is not the one sent
  std::string Message;
  std::string ParameterFile; ///< load's file
};

/// Records Work in the journal at DefaultJournalPath(). Empty when recorded (or when this build
/// keeps no journal); else why it could not be.
std::string RecordWork(const TWork &Work);

/// zolctl journal: the records asked for on Out (text, --json or --csv), or --verify; messages on
/// Err. Returns the exit status.
int RunJournal(const TZolctlOptions &Options, std::ostream &Out, std::ostream &Err);

/// The journal's last records of one serial number, for the sheet, as JSON, text lines and HTML
/// table rows; Problem says why there are none when the journal cannot be read.
struct TSheetRecords {
  TJson Json = TJson::array();
  std::string Text;
  std::string Html;
  std::string Problem;
};
TSheetRecords SheetRecords(const std::string &SerialNumber, std::size_t Count);

} // namespace zol
