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

/// The write-history window: reads the instrument's 8 write-operation records one after the
/// other and lists them by slot. Opened without being modal; created once at start-up.
class TBackTraceForm : public QDialog {
  Q_OBJECT

public:
  explicit TBackTraceForm(QWidget *parent = nullptr);
  ~TBackTraceForm() override;

  /// Records the instrument can hold, and so rows of the list.
  static constexpr int kRecords = 8;

  QTableWidget *StGrOP;
  QProgressBar *ProgressBar1;
  QPushButton *BtnReadWROP;
  QPushButton *BtnClose;

  /// The records received since the program started, by slot (all zero at start). Kept for the
  /// whole run, across showings.
  std::array<TWROP, kRecords> History{};
  /// Index of the last record asked for.
  int RequestIndex = 0;
  /// Asks the instrument for record Index; when empty, the main window's device component does
  /// (ReadWROP). Tests put their own here.
  std::function<void(int Index)> RequestWROP;

  /// Empties the list, then starts a read (run at every showing).
  void FormShow();
  /// Starts a read of the 8 records from index 0.
  void BtnReadWROPClick();
  /// Closes the window; a read under way goes on.
  void BtnCloseClick();
  /// One record has arrived: stores it by its slot and asks for the next one, or shows the list
  /// when the answer to the last request has come.
  void ReceiveWROP(const TWROP &Record);

protected:
  void showEvent(QShowEvent *event) override;

private:
  void Request(int Index);
  void WriteHeadings();
  void SetCell(int Row, int Column, const QString &Text);

  std::unique_ptr<Ui::TBackTraceForm> ui;
};

/// The write-history window of the program.
extern TBackTraceForm *BackTraceForm;

} // namespace zol
