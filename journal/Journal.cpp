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
  static const char *const names[] = {"tag",
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
  std::string columns;
  for (const char *name : names)
    columns += std::string(", ") + Prefix + name;
  return columns;
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
    const int code = sqlite3_step(Handle);
    if (code == SQLITE_ROW)
      return true;
    if (code == SQLITE_DONE)
      return false;
    throw EJournal(EJournal::TKind::Unusable, Problem(Db, What));
  }
  std::string TextAt(int Column) const {
    const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(Handle, Column));
    return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(Handle, Column)))
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
  char *error = nullptr;
  if (sqlite3_exec(Db, Sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = What + ": " + (error ? error : sqlite3_errmsg(Db));
    sqlite3_free(error);
    throw EJournal(EJournal::TKind::Unusable, message);
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
  sqlite3 *db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (Create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(Path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    const std::string message = Problem(db, Path + " cannot be opened");
    sqlite3_close(db);
    throw EJournal(EJournal::TKind::Unusable, message);
  }
  sqlite3_busy_timeout(db, kJournalBusyMs);
  sqlite3_extended_result_codes(db, 1);
  return db;
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
  int at = First + 2;
  for (const TZOLAlarm *alarm : {&Settings->Alarm1, &Settings->Alarm2}) {
    S.Real(at++, alarm->SetPoint);
    S.Real(at++, alarm->Hysteresis);
    S.Real(at++, alarm->Delay);
    S.Integer(at++, alarm->ContactNC != 0);
    S.Integer(at++, alarm->FailClosed != 0);
    S.Integer(at++, alarm->LedBelow != 0);
  }
}

std::optional<TZOLSettings> SettingsAt(const TStatement &S, int First) {
  if (S.NullAt(First))
    return std::nullopt;
  TZOLSettings settings;
  settings.Tag.Set(S.TextAt(First));
  settings.Filter = static_cast<float>(S.RealAt(First + 1));
  int at = First + 2;
  for (TZOLAlarm *alarm : {&settings.Alarm1, &settings.Alarm2}) {
    alarm->SetPoint = static_cast<float>(S.RealAt(at++));
    alarm->Hysteresis = static_cast<float>(S.RealAt(at++));
    alarm->Delay = static_cast<float>(S.RealAt(at++));
    alarm->ContactNC = S.IntegerAt(at++) != 0;
    alarm->FailClosed = S.IntegerAt(at++) != 0;
    alarm->LedBelow = S.IntegerAt(at++) != 0;
  }
  return settings;
}

TJournalCheck Check(sqlite3 *Db, const std::string &Path) {
  TJournalCheck check;
  try {
    TStatement s(Db, "PRAGMA integrity_check");
    std::string problems;
    while (s.Step("the journal cannot be checked")) {
      const std::string line = s.TextAt(0);
      if (line != "ok")
        problems += (problems.empty() ? "" : "; ") + line;
    }
    if (!problems.empty()) {
      check.Message = Path + " is damaged: " + problems;
      return check;
    }
    const int version = UserVersion(Db);
    if (version > kJournalSchemaVersion) {
      check.Message = Newer(Path, version);
      return check;
    }
    if (version != kJournalSchemaVersion) {
      check.Message = Path + " has journal version " + std::to_string(version) +
                      ", not this program's " + std::to_string(kJournalSchemaVersion);
      return check;
    }
  } catch (const EJournal &e) {
    check.Message = Path + ": " + e.what();
    return check;
  }
  check.Sound = true;
  check.Message = Path + ": sound (journal version " + std::to_string(kJournalSchemaVersion) + ")";
  return check;
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
  if (const char *path = std::getenv("ZOLCFG_JOURNAL"); path && *path)
    return path;
  return SystemJournalPath();
}

std::unique_ptr<TJournal> TJournal::Open(const std::string &Path, TOpen Mode) {
  if (Path.empty())
    throw EJournal(EJournal::TKind::Unusable,
                   "no place for the journal: the system names no data folder (set "
                   "ZOLCFG_JOURNAL)");
  const bool create = Mode == TOpen::Write;
  if (create) {
    if (const std::string problem = MakeFoldersFor(Path); !problem.empty())
      throw EJournal(EJournal::TKind::Unusable, problem);
  }
  sqlite3 *db = OpenDb(Path, create);
  std::unique_ptr<TJournal> journal(new TJournal(db, Path));
  // A newer program's journal is refused before anything is written to it, WAL mode included.
  const int found = UserVersion(db);
  if (found > kJournalSchemaVersion)
    throw EJournal(EJournal::TKind::Newer, Newer(Path, found));
  {
    TStatement wal(db, "PRAGMA journal_mode=WAL");
    wal.Step("the journal cannot be put in WAL mode");
  }
  Execute(db, "PRAGMA synchronous=NORMAL", "the journal cannot be set up");
  if (found < kJournalSchemaVersion) {
    TTransaction migration(db);
    // Another program may have brought it up meanwhile: read again under the lock.
    const int version = UserVersion(db);
    if (version > kJournalSchemaVersion)
      throw EJournal(EJournal::TKind::Newer, Newer(Path, version));
    for (int step = version; step < kJournalSchemaVersion; ++step)
      Execute(db, kMigrations[step],
              Path + " cannot be brought to journal version " + std::to_string(step + 1));
    const std::string set = "PRAGMA user_version=" + std::to_string(kJournalSchemaVersion);
    Execute(db, set.c_str(), Path + " cannot be brought to its version");
    migration.Commit();
  }
  return journal;
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
  std::string sql = std::string("INSERT INTO records (") + (kFixedColumns + 4) +
                    SettingsColumns("before_") + SettingsColumns("after_") + ") VALUES (?";
  for (int i = 1; i < kFixedCount - 1 + 2 * kSettingsCount; ++i)
    sql += ", ?";
  sql += ")";
  TTransaction transaction(Db);
  TStatement s(Db, sql);
  int at = 1;
  s.Text(at++, R.Time);
  s.Integer(at++, UtcMs(R.When));
  for (const std::string *text : {&R.SerialNumber, &R.Manufacturer, &R.Product, &R.Firmware,
                                  &R.Program, &R.ProgramVersion, &R.UserName, &R.HostName})
    s.Text(at++, *text);
  s.Text(at++, JournalOperationName(R.Operation));
  s.Text(at++, JournalVerdictName(R.Verdict));
  s.Text(at++, R.Message);
  s.Text(at++, R.ParameterFile);
  BindSettings(s, at, R.Before);
  BindSettings(s, at + kSettingsCount, R.After);
  s.Step("the journal cannot be written");
  const std::int64_t id = sqlite3_last_insert_rowid(Db);
  transaction.Commit();
  return id;
}

std::vector<TJournalRecord> TJournal::Query(const TJournalQuery &Q) {
  std::string where;
  const auto add = [&](const char *Condition) {
    where += (where.empty() ? " WHERE " : " AND ") + std::string(Condition);
  };
  if (Q.SerialNumber)
    add("serial_number = ?1");
  if (Q.Since)
    add("time_utc_ms >= ?2");
  if (Q.Until)
    add("time_utc_ms < ?3");
  const std::string columns =
      std::string(kFixedColumns) + SettingsColumns("before_") + SettingsColumns("after_");
  // The last Limit records, oldest first.
  std::string sql = "SELECT " + columns + " FROM records" + where + " ORDER BY id";
  if (Q.Limit > 0)
    sql = "SELECT * FROM (SELECT " + columns + " FROM records" + where +
          " ORDER BY id DESC LIMIT ?4) ORDER BY id";
  TStatement s(Db, sql);
  if (Q.SerialNumber)
    s.Text(1, *Q.SerialNumber);
  if (Q.Since)
    s.Integer(2, UtcMs(*Q.Since));
  if (Q.Until)
    s.Integer(3, UtcMs(*Q.Until));
  if (Q.Limit > 0)
    s.Integer(4, static_cast<std::int64_t>(Q.Limit));
  std::vector<TJournalRecord> records;
  while (s.Step("the journal cannot be read")) {
    TJournalRecord r;
    r.Id = s.IntegerAt(0);
    r.Time = s.TextAt(1);
    r.When = TClock::time_point(std::chrono::milliseconds(s.IntegerAt(2)));
    int at = 3;
    for (std::string *text : {&r.SerialNumber, &r.Manufacturer, &r.Product, &r.Firmware, &r.Program,
                              &r.ProgramVersion, &r.UserName, &r.HostName})
      *text = s.TextAt(at++);
    // A name a newer program wrote and this one does not know reads as the nearest it has.
    r.Operation = JournalOperationFrom(s.TextAt(at++)).value_or(TJournalOperation::WriteTag);
    r.Verdict = JournalVerdictFrom(s.TextAt(at++)).value_or(TJournalVerdict::Failed);
    r.Message = s.TextAt(at++);
    r.ParameterFile = s.TextAt(at++);
    r.Before = SettingsAt(s, at);
    r.After = SettingsAt(s, at + kSettingsCount);
    records.push_back(std::move(r));
  }
  return records;
}

TJournalCheck TJournal::Verify() {
  return Check(Db, FilePath);
}

TJournalCheck VerifyJournalAt(const std::string &Path) {
  sqlite3 *db = nullptr;
  try {
    db = OpenDb(Path, false);
  } catch (const EJournal &e) {
    return {false, e.what()};
  }
  TJournalCheck check = Check(db, Path);
  sqlite3_close_v2(db);
  return check;
}

} // namespace zol
