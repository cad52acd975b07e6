#pragma once

#include <QDialog>
#include <QList>
#include <QString>

#include <memory>

#include "controls/PageControl.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace Ui {
class TPassForm;
}

namespace zol {

struct TZOLModel;
class TCustomZOL;
class TGroupBoxLangue;
class TBitBtnLangue;

/// The password dialog: unlocking the instrument, changing its password, and the data of the
/// lost-password procedure. Created once at start-up and reused.
class TPassForm : public QDialog {
  Q_OBJECT

public:
  /// Device: the device component the dialog sends the passwords to (the main window's); none
  /// (nullptr) sends nothing. It outlives the dialog.
  explicit TPassForm(TCustomZOL *Device, QWidget *Parent = nullptr);
  ~TPassForm() override;

  /// Caption of the window and of the first tab at every showing (spelled as the instrument's
  /// users have always seen it).
  static const QString kShowCaption;

  TPageControl *PageControl1;
  QWidget *TabSheet1;
  QWidget *TabSheet2;
  QWidget *TabSheet3;
  TGroupBoxLangue *GrChangePW;
  QLabel *ImgLock;
  QLineEdit *EdPassWord;
  QLineEdit *EdNewPassWord1;
  QLineEdit *EdNewPassWord2;
  QLineEdit *EdNS;
  QLineEdit *EdP1;
  TBitBtnLangue *BtnChangePW;
  TBitBtnLangue *BtnUnlockPW;
  TBitBtnLangue *BtnLostPW;
  TBitBtnLangue *BtnClose;

  /// First tab, captions (run at every showing).
  void FormShow();
  /// Unlock with the text of EdPassWord, then empties the edit.
  void BtnUnlockPWClick();
  /// Enables BtnChangePW only for two equal new passwords of 4 or more packable characters.
  void EdPassWordChange();
  /// ChangePassword with the text of EdNewPassWord1, then empties both new-password edits.
  void BtnChangePWClick();
  /// Asks the instrument for its crypted password.
  void BtnLostPWClick();
  /// Closes the dialog.
  void BtnCloseClick();

  /// The instrument accepted the password: closes the dialog (nothing when it is not shown).
  void ZOLUnlockDevice();
  /// The crypted password has arrived: fills EdP1, then EdNS, from Snapshot.
  void ZOLGetCryptedPassword(const TZOLModel &Snapshot);

  /// Text of EdP1: the 6 bytes last to first, each as two upper-case hex digits and a space.
  static QString CryptedPasswordText(const TZOLModel &Snapshot);
  /// Text of EdNS: the first 16 characters of the serial number in pairs, each pair followed by
  /// a space; a shorter serial number is filled with spaces.
  static QString SerialNumberText(const TZOLModel &Snapshot);

protected:
  void showEvent(QShowEvent *Event) override;
  bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
  std::unique_ptr<Ui::TPassForm> ui;
  TCustomZOL *const Device;
};

/// The password dialog of the program.
extern TPassForm *PassForm;

} // namespace zol
