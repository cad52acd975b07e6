#include "windows/Pass.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProxyStyle>
#include <QShowEvent>
#include <QStyleFactory>

#include <algorithm>
#include <string>

#include "controls/MyControls.h"
#include "controls/UpperCaseValidator.h"
#include "link/Types.h"
#include "protocol/Utils.h"
#include "protocol/ZOL.h"
#include "ui_Pass.h"
#include "windows/Journal.h"
#include "windows/Look.h"
#include "windows/TZOL.h"

namespace zol {

TPassForm *PassForm = nullptr;

const QString TPassForm::kShowCaption = QStringLiteral("Authentification de l'utilsateur");

namespace {

// Characters of a serial number shown in the lost-password tab.
constexpr int kSerialShown = 16;

/// Shows every character of a password edit as "*", whatever the style would draw.
class TStarPasswordStyle final : public QProxyStyle {
public:
  using QProxyStyle::QProxyStyle;
  int styleHint(StyleHint Hint, const QStyleOption *Option, const QWidget *Widget,
                QStyleHintReturn *ReturnData) const override {
    if (Hint == SH_LineEdit_PasswordCharacter)
      return '*';
    if (Hint == SH_LineEdit_PasswordMaskDelay)
      return 0; // never show the last character typed
    return QProxyStyle::styleHint(Hint, Option, Widget, ReturnData);
  }
};

/// The 8-bit text the instrument receives. A character beyond Latin-1 becomes 0x7F, which the
/// packing cannot carry either, so it never passes for a character it is not.
std::string DeviceText(const QString &Text) {
  std::string Bytes;
  Bytes.reserve(static_cast<std::size_t>(Text.size()));
  for (const QChar c : Text)
    Bytes.push_back(c.unicode() < 0x100 ? static_cast<char>(c.unicode()) : '\x7F');
  return Bytes;
}

/// True when every character of Text is one the packing carries.
bool PackableText(const QString &Text) {
  const bool InRange =
      std::all_of(Text.begin(), Text.end(), [](QChar c) { return IsPackableChar(c.unicode()); });
  return InRange && IsPackable(DeviceText(Text));
}

// A password leaves no copy behind in our own buffers: they are overwritten before they are
// freed.
void Wipe(std::string &Bytes) {
  WipeBytes(Bytes.data(), Bytes.size());
  Bytes.clear();
}

void Wipe(QString &Text) {
  if (!Text.isEmpty()) {
    // data() detaches when the buffer is shared; the edit has dropped its reference by now, so
    // this overwrites the one buffer that held the text.
    WipeBytes(Text.data(), static_cast<std::size_t>(Text.size()) * sizeof(QChar));
  }
  Text.clear();
}

} // namespace

// ---- TPassForm --------------------------------------------------------------------------------

TPassForm::TPassForm(TCustomZOL *Device, QWidget *Parent)
    : QDialog(Parent), ui(std::make_unique<Ui::TPassForm>()), Device(Device) {
  InitPictures();
  ui->setupUi(this);
  FormLoaded(this);

  PageControl1 = ui->PageControl1;
  TabSheet1 = ui->TabSheet1;
  TabSheet2 = ui->TabSheet2;
  TabSheet3 = ui->TabSheet3;
  GrChangePW = ui->GrChangePW;
  ImgLock = ui->ImgLock;
  EdPassWord = ui->EdPassWord;
  EdNewPassWord1 = ui->EdNewPassWord1;
  EdNewPassWord2 = ui->EdNewPassWord2;
  EdNS = ui->EdNS;
  EdP1 = ui->EdP1;
  BtnChangePW = ui->BtnChangePW;
  BtnUnlockPW = ui->BtnUnlockPW;
  BtnLostPW = ui->BtnLostPW;
  BtnClose = ui->BtnClose;

  setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(242, 281);
  // The dialog lives for the whole run; only the main window's closing ends the program.
  setAttribute(Qt::WA_QuitOnClose, false);

  // The window's text: 11-pixel MS Sans Serif, or the nearest sans-serif font, so that every
  // caption fits the fixed layout.
  setFont(PixelFont("MS Sans Serif", 11, QFont::SansSerif));

  QStyle *Base = QStyleFactory::create(QApplication::style()->name());
  auto *StarStyle = new TStarPasswordStyle(Base);
  StarStyle->setParent(this);
  for (QLineEdit *Edit : {EdPassWord, EdNewPassWord1, EdNewPassWord2}) {
    Edit->setFont(PixelFont("Terminal", 16, QFont::TypeWriter));
    Edit->setStyle(StarStyle);
    Edit->setValidator(new TUpperCaseValidator(Edit)); // the 8-character limit stays right
  }
  // The two read-only fields show texts longer than one may type: no length limit on them.
  // Nothing can be typed there, and the serial number is shown as the instrument gives it: the
  // maker needs it exactly.
  for (QLineEdit *Edit : {EdNS, EdP1})
    Edit->setFont(PixelFont("Courier New", 12, QFont::TypeWriter));
  ImgLock->setVisible(true);
  GrChangePW->setEnabled(true);
  BtnChangePW->setEnabled(false);

  EdPassWord->installEventFilter(this);
  connect(BtnUnlockPW, &QPushButton::clicked, this, &TPassForm::BtnUnlockPWClick);
  connect(EdNewPassWord1, &QLineEdit::textChanged, this, &TPassForm::EdPassWordChange);
  connect(EdNewPassWord2, &QLineEdit::textChanged, this, &TPassForm::EdPassWordChange);
  connect(BtnChangePW, &QPushButton::clicked, this, &TPassForm::BtnChangePWClick);
  connect(BtnLostPW, &QPushButton::clicked, this, &TPassForm::BtnLostPWClick);
  connect(BtnClose, &QPushButton::clicked, this, &TPassForm::BtnCloseClick);

  setWindowTitle(kShowCaption);
  PageControl1->setCurrentIndex(0);
  EdPassWord->setFocus();
}

TPassForm::~TPassForm() = default;

void TPassForm::showEvent(QShowEvent *Event) {
  // Un-minimising also shows the window; only a real showing resets the dialog.
  if (!Event->spontaneous())
    FormShow();
  QDialog::showEvent(Event);
}

bool TPassForm::eventFilter(QObject *Watched, QEvent *Event) {
  if (Watched == EdPassWord && Event->type() == QEvent::KeyPress) {
    const int Key = static_cast<QKeyEvent *>(Event)->key();
    if (Key == Qt::Key_Return || Key == Qt::Key_Enter) {
      // Taken here, so that the key never reaches the dialog's default-button handling.
      BtnUnlockPWClick();
      return true;
    }
  }
  return QDialog::eventFilter(Watched, Event);
}

void TPassForm::FormShow() {
  PageControl1->setCurrentIndex(0);
  setWindowTitle(kShowCaption);
  PageControl1->setPageCaption(0, kShowCaption);
  PageControl1->setPageCaption(1, QStringLiteral("Changement du mot de passe"));
  PageControl1->setPageCaption(2, QStringLiteral("Perte mot de passe"));
  EdPassWord->setFocus();
}

void TPassForm::BtnUnlockPWClick() {
  QString Text = EdPassWord->text();
  std::string Password = DeviceText(Text);
  // setText, unlike clear, also forgets the edit's undo history.
  EdPassWord->setText(QString());
  Wipe(Text);
  if (Device != nullptr)
    Device->Unlock(Password);
  Wipe(Password);
}

void TPassForm::EdPassWordChange() {
  BtnChangePW->setEnabled(false);
  const QString Text1 = EdNewPassWord1->text();
  const QString Text2 = EdNewPassWord2->text();
  if (Text1 == Text2 && Text1.size() >= 4 && PackableText(Text1))
    BtnChangePW->setEnabled(true);
}

void TPassForm::BtnChangePWClick() {
  QString Text1 = EdNewPassWord1->text();
  QString Text2 = EdNewPassWord2->text();
  std::string NewPassword = DeviceText(Text1);
  EdNewPassWord1->setText(QString());
  EdNewPassWord2->setText(QString());
  Wipe(Text1);
  Wipe(Text2);
  if (Device != nullptr) {
    const TZOLModel Before = Device->Snapshot();
    Device->ChangePassword(NewPassword);
    // The main window's component keeps the set-up journal; a bare one (the tests') does not.
    if (auto *Windows = dynamic_cast<TZOL *>(Device); Windows != nullptr)
      Windows->Journal->Begin(TJournalOperation::ChangePassword, Before);
  }
  Wipe(NewPassword);
}

void TPassForm::BtnLostPWClick() {
  if (Device != nullptr)
    Device->ReadCryptedPassword();
}

void TPassForm::BtnCloseClick() {
  close();
}

void TPassForm::ZOLUnlockDevice() {
  if (isVisible())
    close();
}

void TPassForm::ZOLGetCryptedPassword(const TZOLModel &Snapshot) {
  EdP1->setText(CryptedPasswordText(Snapshot));
  EdNS->setText(SerialNumberText(Snapshot));
  // Show both from their first character (setText leaves the cursor after the last).
  EdP1->setCursorPosition(0);
  EdNS->setCursorPosition(0);
}

QString TPassForm::CryptedPasswordText(const TZOLModel &Snapshot) {
  QString Text;
  for (auto Byte = Snapshot.CryptedPassword.rbegin(); Byte != Snapshot.CryptedPassword.rend();
       ++Byte)
    Text += QString::fromStdString(HexByte(*Byte)) + QLatin1Char(' ');
  return Text;
}

QString TPassForm::SerialNumberText(const TZOLModel &Snapshot) {
  // Counted in characters, not bytes; a shorter serial number (an unreadable one reads
  // "unknown") is filled with spaces instead of reading past its end.
  const QList<uint> Chars = QString::fromStdString(Snapshot.SerialNumber).toUcs4();
  QString Text;
  for (int i = 0; i < kSerialShown; ++i) {
    if (i < Chars.size()) {
      const char32_t c = Chars[i];
      Text += QString::fromUcs4(&c, 1);
    } else {
      Text += QLatin1Char(' ');
    }
    if (i % 2 == 1)
      Text += QLatin1Char(' ');
  }
  return Text;
}

} // namespace zol
