#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/Settings.h"

struct sqlite3;

namespace zol {

/// The set-up journal: one record for each time a program set up an instrument (a write, a
/// parameter file loaded, a reset, a password changed), kept in an SQLite database in the user's
/// data folder, so that a bench can tell who set which instrument to what, when, with which
/// program, and whether the instrument held it.
///
/// The database is in WAL mode; each record is one transaction (BEGIN IMMEDIATE ... COMMIT), so a
/// program killed while it writes leaves every record before it whole, and several programs may
/// write at once (each waits up to kJournalBusyMs for the others). Its schema has a version
/// (PRAGMA user_version), brought up to kJournalSchemaVersion at open, in one transaction; a
/// database of a newer program is refused and left as it is.

/// The schema version this program writes.
inline constexpr int kJournalSchemaVersion = 1;
/// How long a write waits for another program's transaction to end.
inline constexpr int kJournalBusyMs = 5000;

/// What was done to the instrument. The names are those stored and shown ("write-filter").
enum class TJournalOperation {
  WriteTag,
  WriteFilter,
  WriteAlarm,
  Load,
  ResetAll,
  ChangePassword,
  AdjustZero,
  AdjustFullScale,
};

/// Whether the instrument held what it was sent. The names are those stored and shown.
enum class TJournalVerdict {
  Held,        ///< "held": read back as sent
  Differs,     ///< "differs": read back, and some value is not what was sent
  Failed,      ///< "failed": refused, no answer, unplugged, or the command went wrong
  Interrupted, ///< "interrupted": ended by a signal; the instrument may hold part of it
};

/// "write-tag", "write-filter", "write-alarm", "load", "reset-all", "change-password",
/// "adjust-zero", "adjust-full-scale".
const char *JournalOperationName(TJournalOperation Operation);
/// The operation of Name; nullopt for a name this program does not know.
std::optional<TJournalOperation> JournalOperationFrom(std::string_view Name);
/// "held", "differs", "failed", "interrupted".
const char *JournalVerdictName(TJournalVerdict Verdict);
std::optional<TJournalVerdict> JournalVerdictFrom(std::string_view Name);

/// One record. Texts are the bytes as the instrument or the user gave them (not necessarily
/// UTF-8: escape them for display).
struct TJournalRecord {
  std::int64_t Id = 0; ///< given by the journal (Record returns it; Query fills it)
  /// The moment of the record; Record takes the current time when it is left at its epoch.
  std::chrono::system_clock::time_point When{};
  /// When as ISO 8601 local time with its UTC offset ("2026-12-08T05:01:02.345+01:00");
  /// Record makes it from When when empty.
  std::string Time;
  std::string SerialNumber;
  std::string Manufacturer;
  std::string Product;
  std::string Firmware; ///< the instrument's information block (its firmware), empty if not read
  std::string Program;  ///< "zolctl", "zolcfg"
  std::string ProgramVersion;
  std::string UserName; ///< Record takes the system's when empty
  std::string HostName; ///< Record takes the system's when empty
  TJournalOperation Operation = TJournalOperation::WriteTag;
  /// The settings read before the operation and read back after it; nullopt when not read.
  std::optional<TZOLSettings> Before;
  std::optional<TZOLSettings> After;
  TJournalVerdict Verdict = TJournalVerdict::Failed;
  std::string Message;       ///< why, when not held (the program's message); may be empty
  std::string ParameterFile; ///< the file loaded (Load), else empty
};

/// What Query returns: records of one serial number (all when empty), from Since (included) to
/// Until (excluded), oldest first, or the last Limit of them (0: no limit), still oldest first.
struct TJournalQuery {
  std::optional<std::string> SerialNumber;
  std::optional<std::chrono::system_clock::time_point> Since;
  std::optional<std::chrono::system_clock::time_point> Until;
  std::size_t Limit = 0;
};

/// Why a journal could not be opened or used.
class EJournal : public std::runtime_error {
public:
  enum class TKind {
    Missing,  ///< no database at the path (opening to read)
    Newer,    ///< made by a newer program: refused, left unchanged
    Unusable, ///< the folder or file cannot be made, opened or written, or is not a journal
  };
  EJournal(TKind Kind, const std::string &Message) : std::runtime_error(Message), Kind(Kind) {}
  TKind Kind;
};

/// The outcome of Verify: Sound, or Message says what is wrong.
struct TJournalCheck {
  bool Sound = false;
  std::string Message;
};

/// An open journal. Not shared between threads: each opens its own.
class TJournal {
public:
  enum class TOpen {
    Write, ///< creates the folder (owner only) and the database when missing
    Read,  ///< the database must exist (EJournal::TKind::Missing otherwise)
  };
  /// Opens the journal at Path and brings its schema up to kJournalSchemaVersion. Throws
  /// EJournal: a newer schema (Newer) is refused before anything is written.
  static std::unique_ptr<TJournal> Open(const std::string &Path, TOpen Mode);
  ~TJournal();
  TJournal(const TJournal &) = delete;
  TJournal &operator=(const TJournal &) = delete;

  /// Adds Record in one transaction; returns its id. Throws EJournal.
  std::int64_t Record(TJournalRecord Record);
  /// The records Query asks for. Throws EJournal.
  std::vector<TJournalRecord> Query(const TJournalQuery &Query);
  /// PRAGMA integrity_check, and the schema version this program writes.
  TJournalCheck Verify();
  const std::string &Path() const { return FilePath; }

private:
  TJournal(sqlite3 *Db, std::string Path) : Db(Db), FilePath(std::move(Path)) {}
  sqlite3 *Db;
  std::string FilePath;
};

/// Opens the journal at Path as it is (nothing created, nothing migrated) and verifies it: a
/// file that is not a database, a damaged one or one of another schema version is not sound.
TJournalCheck VerifyJournalAt(const std::string &Path);

/// Where the journal is: ZOLCFG_JOURNAL when set and not empty; else
/// $XDG_DATA_HOME/zolcfg/journal.sqlite, or ~/.local/share/zolcfg/journal.sqlite; on Windows
/// %LOCALAPPDATA%\ZOLCFG\journal.sqlite. Empty when the system names no such folder.
std::string DefaultJournalPath();

} // namespace zol
