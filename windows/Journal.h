#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>

#include "journal/Journal.h"
#include "protocol/ZOL.h"
#include "windows/JournalStore.h"

class QLabel;
class QMessageBox;
class QPushButton;
class QTableWidget;

namespace zol {

class TZOL;

/// The settings that differ between Before and After, one text each in the language in force
/// ("filtre 1.0 → 2.0 s"); empty when either was not read or nothing differs.
QStringList SettingsChanges(const std::optional<TZOLSettings> &Before,
                            const std::optional<TZOLSettings> &After);
/// The operation and the verdict as the windows show them, in the language in force.
QString OperationText(TJournalOperation Operation);
QString VerdictText(TJournalVerdict Verdict);

/// Shows Note, a record that could not be written, in a small warning box over Owner that does
/// not stop the windows (closed with Owner's program, deleted when closed).
void ShowJournalNote(QWidget *Owner, const QString &Note);

/// The main window's side of the set-up journal: one record per write, parameter file sent,
/// reset of the whole instrument, password change and adjustment started from the windows, with
/// the instrument's identity, its settings before (the model's when the operation started) and as
/// read back after it (the answer's read-back; after a parameter file or a reset, a read-all),
/// and the verdict: held, differs, failed (no answer within kAnswerMs, an error, the instrument
/// gone, another command before the read-back) or interrupted (the program closed first).
/// The records are written on a thread of their own (TJournalWriter); one that cannot be written
/// is said once per problem in a note that does not stop the window (ShowNote).
class TJournalKeeper : public QObject {
  Q_OBJECT

public:
  /// How long an operation waits for its answer (and a read-all for its end).
  static constexpr int kAnswerMs = 3000;
  /// How long after a reset of the whole instrument its settings are read back.
  static constexpr int kResetSettleMs = 300;

  explicit TJournalKeeper(TZOL &ZOL, QObject *Parent = nullptr);
  ~TJournalKeeper() override;

  /// Records are kept only while enabled (off by default: the program turns it on, unless the
  /// command line or the environment says not to).
  void SetEnabled(bool Enabled) { FEnabled = Enabled && JournalKept(); }
  bool Enabled() const { return FEnabled; }

  /// An operation is about to go out (call it just before the device component's operation):
  /// Before is the model then. ParameterFile: the file sent (Load).
  void Begin(TJournalOperation Operation, const TZOLModel &Before,
             const std::string &ParameterFile = {});
  /// The program closes: an operation still waiting is recorded as interrupted.
  void Finish();
  /// Whether a read-all under way was asked by the keeper (its end is not the user's).
  bool ReadingBack() const { return Pending && Pending->ReadingBack; }

  /// Where a note that a record could not be written goes; by default ShowJournalNote over the
  /// active window (the main window sets itself).
  std::function<void(const QString &Note)> ShowNote;
  /// The last note shown, for the tests.
  QString LastNote;

signals:
  /// A record of SerialNumber was written (or failed to be: Problem).
  void Recorded(const QString &SerialNumber, const QString &Problem);

private:
  struct TPending {
    TJournalOperation Operation = TJournalOperation::WriteTag;
    TZOLModel Before;
    std::string ParameterFile;
    bool ReadingBack = false; ///< the read-all after a parameter file or a reset is under way
  };
  void Complete(TJournalVerdict Verdict, const std::optional<TZOLSettings> &After,
                const std::string &Message);
  void ReadBack();
  void OnRecorded(const QString &SerialNumber, const QString &Problem);

  TZOL &ZOL;
  bool FEnabled = false;
  std::optional<TPending> Pending;
  QTimer AnswerTimer;
  QTimer SettleTimer;
  QSet<QString> NotesShown;
  std::unique_ptr<TJournalWriter> Writer; // last: its thread stops before the rest goes
};

/// The window "Journal": the records of the connected instrument's serial number, newest first
/// (date, operation, verdict, the settings that changed), their CSV export, and the
/// configuration sheet as PDF (the identity, every setting read back by a read-all run first,
/// the date, the journal's last kSheetRecords records).
class TJournalForm : public QWidget {
  Q_OBJECT

public:
  static constexpr std::size_t kShownRecords = 500;
  static constexpr std::size_t kSheetRecords = 10;

  TJournalForm(TZOL &ZOL, TJournalKeeper &Keeper, QWidget *Parent = nullptr);

  /// Lists the records of the instrument connected again.
  void Refresh();
  /// The CSV text of the records listed.
  QByteArray CsvText() const;
  /// Writes the records listed to Path as CSV, whole or not at all; false with Reason.
  bool ExportCsv(const QString &Path, QString &Reason) const;
  /// Reads the information block and every setting, then writes the configuration sheet to
  /// Path; a failure is shown.
  void MakeSheet(const QString &Path);

  // The controls, for the tests and the screenshots.
  QLabel *LbSerial;
  QTableWidget *Table;
  QPushButton *BtnCsv;
  QPushButton *BtnSheet;
  QLabel *LbStatus;

protected:
  void showEvent(QShowEvent *Event) override;

private:
  void WriteSheet(const TZOLModel &Snapshot);

  TZOL &ZOL;
  TJournalKeeper &Keeper;
  std::string Serial;
  std::vector<TJournalRecord> Records;
  QString SheetPath;           ///< the sheet waiting for its read-all, empty when none
  bool SheetNeedsInfo = false; ///< the sheet waits for the information block first
};

/// Makes the keeper and the window "Journal" (hidden) and its button "Journal" on the page
/// Measure beside the trend's; the button is enabled while an instrument is connected and shows
/// the window. Returns the window (owned by Owner).
TJournalForm *InstallJournal(TZOL &ZOL, TJournalKeeper &Keeper, QWidget *MeasurePage,
                             QWidget *Owner);

} // namespace zol
