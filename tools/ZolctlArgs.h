#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "sim/Faults.h"

namespace zol {

/// The commands of zolctl.
enum class TZolctlCommand {
  List,
  State,
  Read,
  WriteTag,
  WriteFilter,
  WriteAlarm,
  Save,
  Load,
  Show,
  Unlock,
  ChangePassword,
  LostPassword,
  History,
  Monitor,
  Ping,
  Info,
  AdjustZero,
  AdjustFullScale,
  ResetAll,
  Journal,
  Sheet,
};

/// What write-alarm changes; fields left empty keep the instrument's values.
struct TAlarmChange {
  int Number = 1;
  std::optional<float> SetPoint;
  std::optional<float> Hysteresis;
  std::optional<float> Delay;
  std::optional<bool> ContactNC;
  std::optional<bool> FailClosed;
  std::optional<bool> LedBelow;
};

/// A parsed command line.
struct TZolctlOptions {
  bool Sim = false;
  int SimCount = 1;
  std::string SimMemory;
  int Device = 0;
  std::optional<std::string> Serial; ///< --serial: the instrument with this serial number
  bool All = false;                  ///< --all: every matching instrument in turn
  std::optional<std::string> Password;
  std::optional<std::string> PasswordFile; ///< "-" for standard input
  bool Trace = false;
  bool ShowSecrets = false;
  bool Json = false;
  int TimeoutMs = 2000;
  int WaitSeconds = 0; ///< --wait: how long to wait for the instrument to be plugged in
  bool Verbose = false;
  bool NoJournal = false; ///< --no-journal: the writing commands record nothing
  /// Faults the simulated instruments start with (sim/Faults.h; "K:FAULT" for instrument K alone).
  std::vector<TSimFault> SimFaults;

  TZolctlCommand Command = TZolctlCommand::List;
  std::string Text;       ///< tag, file, password, as the command takes
  bool TextGiven = false; ///< unlock, change-password: false reads the password from standard input
  float Value = 0.0f;     ///< filter seconds
  TAlarmChange Alarm;     ///< write-alarm
  std::optional<long> Count;     ///< monitor --count
  bool Csv = false;              ///< monitor --csv
  std::optional<int> IntervalMs; ///< monitor --interval
  bool ExitOnDisconnect = false; ///< monitor --exit-on-disconnect
  /// journal: the records of this serial number (journal --serial, or the global --serial).
  std::optional<std::string> JournalSerial;
  std::optional<std::chrono::system_clock::time_point> Since; ///< journal --since (included)
  std::optional<std::chrono::system_clock::time_point> Until; ///< journal --until (excluded)
  bool Verify = false;                                        ///< journal --verify
  bool Html = false;                                          ///< sheet --html
};

/// The outcome of parsing: options, or help to print (exit 0), or an error (exit 2).
struct TZolctlParse {
  std::optional<TZolctlOptions> Options;
  std::string Help;  ///< non-empty: print it and exit 0 (help or version)
  std::string Error; ///< non-empty: print it with a hint and exit 2
};

/// Parses zolctl's arguments (without the program name). Never throws.
TZolctlParse ParseZolctlArgs(const std::vector<std::string> &Args);

/// The general help text.
std::string ZolctlUsage();

/// A password as the instrument takes it (upper case), or an error naming What.
std::string CheckPassword(const std::string &What, std::string &Password, bool New);

/// A date of --since or --until: "2026-12-08" (local midnight; for Until, the midnight after
/// it, so that the day is included) or "2026-12-08T14:30[:05]" (local), as a moment; nullopt
/// when Text is not one.
std::optional<std::chrono::system_clock::time_point> ParseJournalDate(const std::string &Text,
                                                                      bool Until);

/// True when Command writes to the instrument, and so is recorded in the journal.
bool RecordedInJournal(TZolctlCommand Command);

/// True when the frames carry Seconds as a filter (finite, below 2^127 in magnitude).
bool FilterSendable(float Seconds);

} // namespace zol
