#pragma once

#include <QWidget>

#include <cstdint>
#include <vector>

#include "controls/Trend.h"
#include "protocol/StateCsv.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace zol {

class TZOL;
struct TZOLAlarm;
struct TZOLModel;

/// The alarm as the trend draws it.
TTrendBand BandOfAlarm(const TZOLAlarm &Alarm);

/// The window "Tendance": the measurement over time with both alarms' bands and the relays,
/// fed by the state updates the main window already receives (it asks the instrument for
/// nothing). It records from the start of the program, hidden or shown, in fixed memory; the
/// alarms' bands follow every read of an alarm (a read-all, a page shown, a write's read-back).
/// Export: the rows of the span shown as CSV (the columns of zolctl monitor --csv, at most one
/// row per 0.1 s), the plot as PNG.
class TTrendForm : public QWidget {
  Q_OBJECT

public:
  /// Rows kept for the CSV export: one hour at one row per kRowMs.
  static constexpr int kRowMs = 100;
  static constexpr std::size_t kRows = 3'600'000 / kRowMs;

  explicit TTrendForm(TZOL &ZOL, QWidget *Parent = nullptr);

  /// Writes the rows of the span shown to Path as CSV, whole or not at all; false with Reason.
  bool ExportCsv(const QString &Path, QString &Reason) const;
  /// Writes the plot to Path as PNG, whole or not at all; false with Reason.
  bool ExportPng(const QString &Path, QString &Reason) const;
  /// The CSV text of the span shown.
  QByteArray CsvText() const;

  /// A state as the main window received it, at TimeMs (ms since the epoch).
  void AddState(const TZOLModel &Snapshot, std::int64_t TimeMs);

  // The controls, for the tests and the screenshots.
  TTrend *Plot;
  QComboBox *CbSpan;
  QPushButton *BtnPause;
  QPushButton *BtnCsv;
  QPushButton *BtnPng;
  QLabel *LbPointer;

private:
  /// Asks where to write (Title, the name Name proposed, Filter) and writes there with Export;
  /// a failure is shown with the system's reason.
  void AskExport(const QString &Title, const QString &Name, const QString &Filter,
                 bool (TTrendForm::*Export)(const QString &, QString &) const);
  void ShowPause();

  std::vector<TStateRow> FRows; // a ring of kRows, allocated once
  std::size_t FNext = 0;
  std::size_t FCount = 0;
};

/// Makes the trend window (hidden) and its button "Tendance" on the page Measure at the free
/// place between the second alarm and the damping value; the button is enabled while an
/// instrument is connected and shows the window. Returns the window (owned by Owner).
TTrendForm *InstallTrend(TZOL &ZOL, QWidget *MeasurePage, QWidget *Owner);

} // namespace zol
