#include "journal/Journal.h"

#include <sqlite3.h>

#include <array>
#include <cstdlib>

#include "journal/JournalSystem.h"
#include "protocol/LocalTime.h"

namespace zol {

namespace {

constexpr std::array<const char *, 8> kOperationNames = {
    "write-tag", "write-filter",    "write-alarm", "load",
    "reset-all", "change-password", "adjust-zero", "adjust-full-scale"};
constexpr std::array<const char *, 4> kVerdictNames = {"held", "differs", "failed", "interrupted"};

/// The steps of the schema: kMigrations[N] takes a database from version N to N + 1. A step is
/// never changed once released; a new schema is a new step at the end.
const char *const kMigrations[] = {
    // 0 -> 1: the records. Times: as written (local, with offset) and in ms since 1970 UTC for
    // the queries; the settings before and after as columns, NULL when not read.
    "CREATE TABLE records ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " time TEXT NOT NULL,"
    " time_utc_ms INTEGER NOT NULL,"
    " serial_number TEXT NOT NULL,"
    " manufacturer TEXT NOT NULL,"
    " product TEXT NOT NULL,"
    " firmware TEXT NOT NULL,"
    " program TEXT NOT NULL,"
    " program_version TEXT NOT NULL,"
    " user_name TEXT NOT NULL,"
    " host_name TEXT NOT NULL,"
    " operation TEXT NOT NULL,"
    " verdict TEXT NOT NULL,"
    " message TEXT NOT NULL,"
    " parameter_file TEXT NOT NULL,"
    " before_tag TEXT, before_filter REAL,"
    " before_alarm1_set_point REAL, before_alarm1_hysteresis REAL, before_alarm1_delay REAL,"
    " before_alarm1_contact_nc INTEGER, before_alarm1_fail_closed INTEGER,"
    " before_alarm1_led_below INTEGER,"
    " before_alarm2_set_point REAL, before_alarm2_hysteresis REAL, before_alarm2_delay REAL,"
    " before_alarm2_contact_nc INTEGER, before_alarm2_fail_closed INTEGER,"
    " before_alarm2_led_below INTEGER,"
    " after_tag TEXT, after_filter REAL,"
    " after_alarm1_set_point REAL, after_alarm1_hysteresis REAL, after_alarm1_delay REAL,"
    " after_alarm1_contact_nc INTEGER, after_alarm1_fail_closed INTEGER,"
    " after_alarm1_led_below INTEGER,"
    " after_alarm2_set_point REAL, after_alarm2_hysteresis REAL, after_alarm2_delay REAL,"
    " after_alarm2_contact_nc INTEGER, after_alarm2_fail_closed INTEGER,"
    " after_alarm2_led_below INTEGER);"
    "CREATE INDEX records_by_serial ON records (serial_number, time_utc_ms);"
    "CREATE INDEX records_by_time ON records (time_utc_ms);",
};
static_assert(std::size(kMigrations) == kJournalSchemaVersion);

/// The columns of the records, in the order Record binds them and Query reads them.
constexpr const char *kFixedColumns = "id, time, time_utc_ms, serial_number, manufacturer, "
                                      "product, firmware, program, program_version, user_name, "
                                      "host_name, operation, verdict, message, parameter_file";
constexpr int kFixedCount = 15;
constexpr int kSettingsCount = 14; // tag, filter, then 6 per alarm

std::string SettingsColumns(const char *Prefix) {
  static const char *const Names[] = {"tag",
                                      "filter",
                                      "alarm1_set_point",
                                      "alarm1_hysteresis",
                                      "alarm1_delay",
                                      "alarm1_contact_nc",
                                      "alarm1_fail_closed",
                                      "alarm1_led_below",
                                      "alarm2_set_point",
                                      "alarm2_hysteresis",
                                      "alarm2_delay",
                                      "alarm2_contact_nc",
                                      "alarm2_fail_closed",
                                      "alarm2_led_below"};
  std::string Columns;
  for (const char *Name : Names)
    Columns += std::string(", ") + Prefix + Name;
  return Columns;
}

std::string Problem(sqlite3 *Db, const std::string &What) {
  return What + ": " + (Db ? sqlite3_errmsg(Db) : "out of memory");
}

/// A prepared statement, finalized with this object.
class TStatement {
public:
  TStatement(sqlite3 *Db, const std::string &Sql) : Db(Db) {
    if (sqlite3_prepare_v2(Db, Sql.c_str(), -1, &Handle, nullptr) != SQLITE_OK)
      throw EJournal(EJournal::TKind::Unusable, Problem(Db, "the journal cannot be read"));
  }
  ~TStatement() { sqlite3_finalize(Handle); }
  TStatement(const TStatement &) = delete;
  TStatement &operator=(const TStatement &) = delete;

  void Text(int At, const std::string &Value) {
    sqlite3_bind_text(Handle, At, Value.data(), static_cast<int>(Value.size()), SQLITE_TRANSIENT);
  }
  void Integer(int At, std::int64_t Value) { sqlite3_bind_int64(Handle, At, Value); }
  void Real(int At, double Value) { sqlite3_bind_double(Handle, At, Value); }
  void Null(int At) { sqlite3_bind_null(Handle, At); }
  /// True while there is a row.
  bool Step(const char *What) {
    const int Code = sqlite3_step(Handle);
    if (Code == SQLITE_ROW)
      return true;
    if (Code == SQLITE_DONE)
      return false;
    throw EJournal(EJournal::TKind::Unusable, Problem(Db, What));
  }
  std::string TextAt(int Column) const {
    const auto *Text = reinterpret_cast<const char *>(sqlite3_column_text(Handle, Column));
    return Text ? std::string(Text, static_cast<std::size_t>(sqlite3_column_bytes(Handle, Column)))
                : std::string();
  }
  std::int64_t IntegerAt(int Column) const { return sqlite3_column_int64(Handle, Column); }
  double RealAt(int Column) const { return sqlite3_column_double(Handle, Column); }
  bool NullAt(int Column) const { return sqlite3_column_type(Handle, Column) == SQLITE_NULL; }

private:
  sqlite3 *Db;
  sqlite3_stmt *Handle = nullptr;
};

void Execute(sqlite3 *Db, const char *Sql, const std::string &What) {
  char *Error = nullptr;
  if (sqlite3_exec(Db, Sql, nullptr, nullptr, &Error) != SQLITE_OK) {
    const std::string Message = What + ": " + (Error ? Error : sqlite3_errmsg(Db));
    sqlite3_free(Error);
    throw EJournal(EJournal::TKind::Unusable, Message);
  }
}

int UserVersion(sqlite3 *Db) {
  TStatement s(Db, "PRAGMA user_version");
  return s.Step("the journal's version cannot be read") ? static_cast<int>(s.IntegerAt(0)) : 0;
}

/// A transaction that is rolled back unless committed.
class TTransaction {
public:
  explicit TTransaction(sqlite3 *Db) : Db(Db) {
    Execute(Db, "BEGIN IMMEDIATE", "the journal cannot be written");
  }
  ~TTransaction() {
    if (!Done)
      sqlite3_exec(Db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  TTransaction(const TTransaction &) = delete;
  TTransaction &operator=(const TTransaction &) = delete;
  void Commit() {
    Execute(Db, "COMMIT", "the journal cannot be written");
    Done = true;
  }

private:
  sqlite3 *Db;
  bool Done = false;
};

std::string Newer(const std::string &Path, int Version) {
  return Path + " was made by a newer program (journal version " + std::to_string(Version) +
         ", this one knows up to " + std::to_string(kJournalSchemaVersion) +
         "): it is left as it is";
}

/// Opens the database at Path (created when Create); throws EJournal.
sqlite3 *OpenDb(const std::string &Path, bool Create) {
  if (!Create && !PathExists(Path))
    throw EJournal(EJournal::TKind::Missing, Path + ": no journal there yet");
  sqlite3 *Db = nullptr;
  const int Flags = SQLITE_OPEN_READWRITE | (Create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(Path.c_str(), &Db, Flags, nullptr) != SQLITE_OK) {
    const std::string Message = Problem(Db, Path + " cannot be opened");
    sqlite3_close(Db);
    throw EJournal(EJournal::TKind::Unusable, Message);
  }
  sqlite3_busy_timeout(Db, kJournalBusyMs);
  sqlite3_extended_result_codes(Db, 1);
  return Db;
}

using TClock = std::chrono::system_clock;

std::int64_t UtcMs(TClock::time_point When) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(When.time_since_epoch()).count();
}

void BindSettings(TStatement &S, int First, const std::optional<TZOLSettings> &Settings) {
  if (!Settings) {
    for (int i = 0; i < kSettingsCount; ++i)
      S.Null(First + i);
    return;
  }
  S.Text(First, Settings->Tag.Get());
  S.Real(First + 1, Settings->Filter);
  int At = First + 2;
  for (const TZOLAlarm *Alarm : {&Settings->Alarm1, &Settings->Alarm2}) {
    S.Real(At++, Alarm->SetPoint);
    S.Real(At++, Alarm->Hysteresis);
    S.Real(At++, Alarm->Delay);
    S.Integer(At++, Alarm->ContactNC != 0);
    S.Integer(At++, Alarm->FailClosed != 0);
    S.Integer(At++, Alarm->LedBelow != 0);
  }
}

std::optional<TZOLSettings> SettingsAt(const TStatement &S, int First) {
  if (S.NullAt(First))
    return std::nullopt;
  TZOLSettings Settings;
  Settings.Tag.Set(S.TextAt(First));
  Settings.Filter = static_cast<float>(S.RealAt(First + 1));
  int At = First + 2;
  for (TZOLAlarm *Alarm : {&Settings.Alarm1, &Settings.Alarm2}) {
    Alarm->SetPoint = static_cast<float>(S.RealAt(At++));
    Alarm->Hysteresis = static_cast<float>(S.RealAt(At++));
    Alarm->Delay = static_cast<float>(S.RealAt(At++));
    Alarm->ContactNC = S.IntegerAt(At++) != 0;
    Alarm->FailClosed = S.IntegerAt(At++) != 0;
    Alarm->LedBelow = S.IntegerAt(At++) != 0;
  }
  return Settings;
}

TJournalCheck Check(sqlite3 *Db, const std::string &Path) {
  TJournalCheck Check;
  try {
    TStatement s(Db, "PRAGMA integrity_check");
    std::string Problems;
    while (s.Step("the journal cannot be checked")) {
      const std::string Line = s.TextAt(0);
      if (Line != "ok")
        Problems += (Problems.empty() ? "" : "; ") + Line;
    }
    if (!Problems.empty()) {
      Check.Message = Path + " is damaged: " + Problems;
      return Check;
    }
    const int Version = UserVersion(Db);
    if (Version > kJournalSchemaVersion) {
      Check.Message = Newer(Path, Version);
      return Check;
    }
    if (Version != kJournalSchemaVersion) {
      Check.Message = Path + " has journal version " + std::to_string(Version) +
                      ", not this program's " + std::to_string(kJournalSchemaVersion);
      return Check;
    }
  } catch (const EJournal &e) {
    Check.Message = Path + ": " + e.what();
    return Check;
  }
  Check.Sound = true;
  Check.Message = Path + ": sound (journal version " + std::to_string(kJournalSchemaVersion) + ")";
  return Check;
}

} // namespace

const char *JournalOperationName(TJournalOperation Operation) {
  return kOperationNames.at(static_cast<std::size_t>(Operation));
}

std::optional<TJournalOperation> JournalOperationFrom(std::string_view Name) {
  for (std::size_t i = 0; i < kOperationNames.size(); ++i)
    if (Name == kOperationNames[i])
      return static_cast<TJournalOperation>(i);
  return std::nullopt;
}

const char *JournalVerdictName(TJournalVerdict Verdict) {
  return kVerdictNames.at(static_cast<std::size_t>(Verdict));
}

std::optional<TJournalVerdict> JournalVerdictFrom(std::string_view Name) {
  for (std::size_t i = 0; i < kVerdictNames.size(); ++i)
    if (Name == kVerdictNames[i])
      return static_cast<TJournalVerdict>(i);
  return std::nullopt;
}

std::string DefaultJournalPath() {
  if (const char *Path = std::getenv("ZOLCFG_JOURNAL"); Path && *Path)
    return Path;
  return SystemJournalPath();
}

std::unique_ptr<TJournal> TJournal::Open(const std::string &Path, TOpen Mode) {
  if (Path.empty())
    throw EJournal(EJournal::TKind::Unusable,
                   "no place for the journal: the system names no data folder (set "
                   "ZOLCFG_JOURNAL)");
  const bool Create = Mode == TOpen::Write;
  if (Create) {
    if (const std::string Problem = MakeFoldersFor(Path); !Problem.empty())
      throw EJournal(EJournal::TKind::Unusable, Problem);
  }
  sqlite3 *Db = OpenDb(Path, Create);
  std::unique_ptr<TJournal> Journal(new TJournal(Db, Path));
  // A newer program's journal is refused before anything is written to it, WAL mode included.
  const int Found = UserVersion(Db);
  if (Found > kJournalSchemaVersion)
    throw EJournal(EJournal::TKind::Newer, Newer(Path, Found));
  {
    TStatement Wal(Db, "PRAGMA journal_mode=WAL");
    Wal.Step("the journal cannot be put in WAL mode");
  }
  Execute(Db, "PRAGMA synchronous=NORMAL", "the journal cannot be set up");
  if (Found < kJournalSchemaVersion) {
    TTransaction Migration(Db);
    // Another program may have brought it up meanwhile: read again under the lock.
    const int Version = UserVersion(Db);
    if (Version > kJournalSchemaVersion)
      throw EJournal(EJournal::TKind::Newer, Newer(Path, Version));
    for (int Step = Version; Step < kJournalSchemaVersion; ++Step)
      Execute(Db, kMigrations[Step],
              Path + " cannot be brought to journal version " + std::to_string(Step + 1));
    const std::string Set = "PRAGMA user_version=" + std::to_string(kJournalSchemaVersion);
    Execute(Db, Set.c_str(), Path + " cannot be brought to its version");
    Migration.Commit();
  }
  return Journal;
}

TJournal::~TJournal() {
  sqlite3_close_v2(Db);
}

std::int64_t TJournal::Record(TJournalRecord R) {
  if (R.When == TClock::time_point{})
    R.When = TClock::now();
  if (R.Time.empty())
    R.Time = LocalIsoTime(R.When);
  if (R.UserName.empty())
    R.UserName = SystemUserName();
  if (R.HostName.empty())
    R.HostName = SystemHostName();
  std::string Sql = std::string("INSERT INTO records (") + (kFixedColumns + 4) +
                    SettingsColumns("before_") + SettingsColumns("after_") + ") VALUES (?";
  for (int i = 1; i < kFixedCount - 1 + 2 * kSettingsCount; ++i)
    Sql += ", ?";
  Sql += ")";
  TTransaction Transaction(Db);
  TStatement s(Db, Sql);
  int At = 1;
  s.Text(At++, R.Time);
  s.Integer(At++, UtcMs(R.When));
  for (const std::string *Text : {&R.SerialNumber, &R.Manufacturer, &R.Product, &R.Firmware,
                                  &R.Program, &R.ProgramVersion, &R.UserName, &R.HostName})
    s.Text(At++, *Text);
  s.Text(At++, JournalOperationName(R.Operation));
  s.Text(At++, JournalVerdictName(R.Verdict));
  s.Text(At++, R.Message);
  s.Text(At++, R.ParameterFile);
  BindSettings(s, At, R.Before);
  BindSettings(s, At + kSettingsCount, R.After);
  s.Step("the journal cannot be written");
  const std::int64_t Id = sqlite3_last_insert_rowid(Db);
  Transaction.Commit();
  return Id;
}

std::vector<TJournalRecord> TJournal::Query(const TJournalQuery &Q) {
  std::string Where;
  const auto Add = [&](const char *Condition) {
    Where += (Where.empty() ? " WHERE " : " AND ") + std::string(Condition);
  };
  if (Q.SerialNumber)
    Add("serial_number = ?1");
  if (Q.Since)
    Add("time_utc_ms >= ?2");
  if (Q.Until)
    Add("time_utc_ms < ?3");
  const std::string Columns =
      std::string(kFixedColumns) + SettingsColumns("before_") + SettingsColumns("after_");
  // The last Limit records, oldest first.
  std::string Sql = "SELECT " + Columns + " FROM records" + Where + " ORDER BY id";
  if (Q.Limit > 0)
    Sql = "SELECT * FROM (SELECT " + Columns + " FROM records" + Where +
          " ORDER BY id DESC LIMIT ?4) ORDER BY id";
  TStatement s(Db, Sql);
  if (Q.SerialNumber)
    s.Text(1, *Q.SerialNumber);
  if (Q.Since)
    s.Integer(2, UtcMs(*Q.Since));
  if (Q.Until)
    s.Integer(3, UtcMs(*Q.Until));
  if (Q.Limit > 0)
    s.Integer(4, static_cast<std::int64_t>(Q.Limit));
  std::vector<TJournalRecord> Records;
  while (s.Step("the journal cannot be read")) {
    TJournalRecord r;
    r.Id = s.IntegerAt(0);
    r.Time = s.TextAt(1);
    r.When = TClock::time_point(std::chrono::milliseconds(s.IntegerAt(2)));
    int At = 3;
    for (std::string *Text : {&r.SerialNumber, &r.Manufacturer, &r.Product, &r.Firmware, &r.Program,
                              &r.ProgramVersion, &r.UserName, &r.HostName})
      *Text = s.TextAt(At++);
    // A name a newer program wrote and this one does not know reads as the nearest it has.
    r.Operation = JournalOperationFrom(s.TextAt(At++)).value_or(TJournalOperation::WriteTag);
    r.Verdict = JournalVerdictFrom(s.TextAt(At++)).value_or(TJournalVerdict::Failed);
    r.Message = s.TextAt(At++);
    r.ParameterFile = s.TextAt(At++);
    r.Before = SettingsAt(s, At);
    r.After = SettingsAt(s, At + kSettingsCount);
    Records.push_back(std::move(r));
  }
  return Records;
}

TJournalCheck TJournal::Verify() {
  return Check(Db, FilePath);
}

TJournalCheck VerifyJournalAt(const std::string &Path) {
  sqlite3 *Db = nullptr;
  try {
    Db = OpenDb(Path, false);
  } catch (const EJournal &e) {
    return {false, e.what()};
  }
  TJournalCheck Result = Check(Db, Path);
  sqlite3_close_v2(Db);
  return Result;
}

} // namespace zol
