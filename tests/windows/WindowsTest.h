#pragma once

#include <QFileDialog>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>

#include "sim/SimPlatform.h"
#include "windows/Main.h"

/// Lets GoogleTest print texts in failures.
inline void PrintTo(const QString &Text, std::ostream *Out) {
  *Out << '"' << Text.toStdString() << '"';
}

namespace zol::test {

/// Byte as two upper-case hex digits, as the windows show bytes.
inline QString Hex2(std::uint8_t Byte) {
  return QStringLiteral("%1").arg(Byte, 2, 16, QLatin1Char('0')).toUpper();
}

/// Processes events until Condition holds or Ms milliseconds have passed; whether it held.
bool WaitUntil(const std::function<bool()> &Condition, int Ms = 5000);

/// Watches for modal windows (dialogs, message boxes) while it lives: each time one is active,
/// Handler gets it; Handler closes it (or not) and says whether it dealt with it.
class TModalWatcher {
public:
  explicit TModalWatcher(std::function<bool(QWidget *Modal)> Handler);
  ~TModalWatcher();
  /// How many modal windows Handler dealt with.
  int Handled() const { return FHandled; }

private:
  std::function<bool(QWidget *)> FHandler;
  QTimer FTimer;
  int FHandled = 0;
};

/// Types Path into a file dialog's name field and accepts it, as the user would (selectFile
/// leaves the field alone while it has the focus).
void ChooseFile(QFileDialog *Dialog, const QString &Path);

/// The text of a message box, or an empty text when Modal is not one; closes it with Button.
QString TakeMessageBox(QWidget *Modal, int Button);

/// The main window on Count simulated instruments (report period 2 ms), and the dialogs the
/// program creates with it.
class TMainWindowTest : public ::testing::Test {
protected:
  void TearDown() override;
  /// Creates the instruments and the windows; the main window is not shown yet.
  void Create(int Count);
  /// Create, then shows the window (it scans) and, with instruments, waits for the connection
  /// and the first state update.
  void Start(int Count);
  /// The instrument behind the simulated path sim:i.
  std::shared_ptr<VirtualRW8> Instrument(int i = 0) const;
  Ui::TMainForm &ui() const { return *Form->Form(); }
  /// Waits for the state updates to have followed the instrument for a few reports.
  void Settle();

  std::unique_ptr<SimPlatform> Platform;
  std::unique_ptr<TMainForm> Form;
  int StateUpdates = 0;
};

} // namespace zol::test
