#pragma once

#include <QDialog>

#include <array>
#include <functional>
#include <memory>

#include "protocol/ZOL.h"

class QProgressBar;
class QPushButton;
class QTableWidget;

namespace Ui {
class TBackTraceForm;
}

namespace zol {

/// The write-history window: reads the instrument's 8 write-operation records (the device
/// component asks for each in turn) and lists them by slot. Opened without being modal; created
/// once at start-up.
class TBackTraceForm : public QDialog {
  Q_OBJECT

public:
  /// Device: the device component that reads the history (the main window's); none (nullptr)
  /// reads nothing unless RequestHistory is set. It outlives the window. The window starts a read
  /// at once.
  explicit TBackTraceForm(TCustomZOL *Device, QWidget *Parent = nullptr);
  ~TBackTraceForm() override;

  /// Records the instrument can hold, and so rows of the list.
  static constexpr int kRecords = kHistoryRecords;

  QTableWidget *StGrOP;
  QProgressBar *ProgressBar1;
  QPushButton *BtnReadWROP;
  QPushButton *BtnClose;

  /// The records received since the program started, by slot (all zero at start). Kept for the
  /// whole run, across showings.
  std::array<TWROP, kRecords> History{};
  /// Index of the record the read awaits (7 once the last has come).
  int RequestIndex = 0;
  /// Starts the instrument's history read (the 8 records, each asked for when the previous one
  /// has come); when empty, the device component given does (ReadHistory). Tests put their own
  /// here.
  std::function<void()> RequestHistory;

  /// Empties the list, then starts a read (run at every showing).
  void FormShow();
  /// Starts a read of the 8 records from index 0.
  void BtnReadWROPClick();
  /// Closes the window; a read under way goes on.
  void BtnCloseClick();
  /// One record has arrived: stores it by its slot and counts it, and shows the list when the
  /// last of the read has come. The device component asks for the next record itself.
  void ReceiveWROP(const TWROP &Record);

protected:
  void showEvent(QShowEvent *Event) override;

private:
  void StartRead();
  void WriteHeadings();
  void SetCell(int Row, int Column, const QString &Text);

  std::unique_ptr<Ui::TBackTraceForm> ui;
  TCustomZOL *const Device;
};

/// The write-history window of the program.
extern TBackTraceForm *BackTraceForm;

} // namespace zol
