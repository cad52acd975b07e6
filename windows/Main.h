#pragma once

#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

#include "journal/Journal.h"
#include "protocol/ZOL.h"
#include "windows/TZOL.h"

class QMenu;
class QAction;

namespace Ui {
class TMainForm;
}

namespace zol {

class TTrendForm;
class TJournalForm;

/// Runs Operation, an operation the user started from a window; a value that a frame cannot
/// carry (ERangeError) reaches the user as an error message box naming the value, and the
/// program goes on. Every handler of the main window runs through it.
void ShowRangeErrors(QWidget *Parent, const std::function<void()> &Operation);
/// Shows Message, an error met by the instrument's worker or an operation, in an error box: the
/// one way errors reach the user (ShowRangeErrors and the application's event loop use it).
void ShowErrorMessage(QWidget *Parent, const QString &Message);

/// The nearest whole number, halves to the even one; beyond the int range (or not a number) the
/// largest int of the sign, which every display shows as out of range.
int RoundHalfEvenToInt(double Value);

/// The program's main window: identity and parameter files, live measurement and filter, the
/// two alarms, and the maker's tab (hidden). It owns the device component ZOL and handles all
/// its events, each with the model as it was when the event was raised.
class TMainForm : public QWidget {
  Q_OBJECT

public:
  explicit TMainForm(HidPlatform &Platform, QWidget *Parent = nullptr);
  ~TMainForm() override;

  /// The device component; the dialogs reach the instrument through it.
  TZOL *ZOL = nullptr;
  /// The trend of the measurement, recording from the start (hidden until asked for).
  TTrendForm *TrendForm = nullptr;
  /// The window "Journal" of the connected instrument (hidden until asked for).
  TJournalForm *JournalForm = nullptr;
  /// An instrument is connected; the user may change tabs only while it is.
  bool DevicePresent = false;

  /// Asks the user which of several instruments to open ("USB N°0", "USB N°1" ...) and gives the
  /// line selected when the question ends (-1: none). By default the selection dialog.
  std::function<int(const QStringList &Lines)> ChooseInstrument;

  /// The window description's controls (TabAL1, EdAlr1, BtnWR_Alr1 ... as named there).
  Ui::TMainForm *Form() const { return ui.get(); }
  /// The context menu of the four send buttons: "Envoyer" (default), "Relire".
  QMenu *PopupMenu = nullptr;
  QAction *Envoyer1 = nullptr;
  QAction *Relire1 = nullptr;

  /// The record that sending page Alarme 1 (Which 1) or Alarme 2 sends: the page's fields.
  TZOLAlarm AlarmOfPage(int Which) const;

  // ---- User-interface handlers ----
  void FormShow();
  void FormClose();
  void BtnQuitClick();
  void BtnScanClick();
  /// Whether the user may leave the active page now.
  bool TabAL1Changing() const;
  void TabMesureShow();
  void TabALR1Show();
  void TabALR2Show();
  void BtnWR_TAGClick();
  void BtnWR_TAGAltClick();
  void BtnWR_FilterClick();
  void BtnWR_FilterAltClick();
  void BtnWR_Alr1Click();
  void BtnWR_Alr1AltClick();
  void BtnWR_Alr2Click();
  void BtnWR_Alr2AltClick();
  void BtnLoadClick();
  void BtnSaveClick();
  void _BtnUnlockClick();
  void Image1DblClick();
  // Maker's tab.
  void SpBtnZClick();
  void SpBtnPEClick();
  void BtnPRGClick();
  void BtnEraseClick();
  void BtnRESETClick();
  void BtnRESET_MSPClick();
  void BtnGetInfoClick();
  void SpeedButton1Click();
  void BtnBackTraceClick();

  // ---- Handlers of ZOL's events (user-interface thread, snapshot of the event) ----
  void ZOLConnect(const TZOLModel &Snapshot);
  void ZOLDisconnect(const TZOLModel &Snapshot);
  void ZOLUpdateState(const TZOLModel &Snapshot);
  void ZOLError(const TZOLModel &Snapshot);
  void ZOLUnlockDevice(const TZOLModel &Snapshot);
  void ZOLUpdateAlarm1(const TZOLModel &Snapshot);
  void ZOLUpdateAlarm2(const TZOLModel &Snapshot);
  void ZOLUpdateFilter(const TZOLModel &Snapshot);
  void ZOLUpdateTag(const TZOLModel &Snapshot);
  void ZOLUpdateInfo(const TZOLModel &Snapshot);
  void ZOLReadAll(const TZOLModel &Snapshot);
  void ZOLGetCryptedPassword(const TZOLModel &Snapshot);
  void ZOLUpdateWROP(const TWROP &Record);
  void ZOLChainFailed(const QString &Message);

protected:
  void showEvent(QShowEvent *Event) override;
  void closeEvent(QCloseEvent *Event) override;
  bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
  /// Opens an instrument plugged in while none is open, where the system tells of arrivals.
  void WatchArrivals();
  /// After a scan that found n instruments: opens the one, asks which of several, or says why
  /// none could be opened, as the scan button does.
  void OpenScanned(int n);
  std::uint64_t SeenArrivals = 0;
  /// Runs Send, an operation that sets the instrument up, and gives it to the journal with the
  /// model as it was before (File: the parameter file sent).
  void Journaled(TJournalOperation Operation, const std::function<void()> &Send,
                 const TZOLModel &Before, const std::string &File = {});
  /// The save button asked for the read-all under way: its end opens the save dialog.
  bool SaveOnReadAll = false;

  /// Connects a button's click to Handler, run through ShowRangeErrors.
  template <class TButton, class TSignal>
  void Wire(TButton *Button, TSignal Signal, void (TMainForm::*Handler)());
  void ShowAlarm(int Which, const TZOLAlarm &Alarm);
  void SetLockDependent(bool Locked);
  void ApplyFonts();
  void ApplyPictures();

  std::unique_ptr<Ui::TMainForm> ui;
  /// True while the window itself changes the active page (not subject to TabAL1Changing).
  bool ChangingPageItself = false;
  /// True while a refused page change is undone.
  bool RevertingPage = false;
  int ShownPage = 0;
};

/// The program's main window, created first at start-up.
extern TMainForm *MainForm;

} // namespace zol
