// Tests of the password dialog, on its own and on a simulated instrument.
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <string>

#include "WindowsTest.h"
#include "controls/MyControls.h"
#include "protocol/ZOL.h"
#include "windows/Pass.h"
#include "windows/TZOL.h"

namespace zol::test {
namespace {

/// Types Text into Widget key by key, accented and other non-ASCII characters included.
void Type(QWidget *Widget, const QString &Text) {
  for (const QChar c : Text) {
    const Qt::Key Key = c.unicode() < 0x80 && c.isLetterOrNumber()
                            ? static_cast<Qt::Key>(c.toUpper().unicode())
                            : Qt::Key_unknown;
    QTest::sendKeyEvent(QTest::Click, Widget, Key, QString(c), Qt::NoModifier);
  }
}

// ---- Password dialog, on its own ---------------------------------------------------------------

class PassFormTest : public ::testing::Test {
protected:
  void SetUp() override { Form = std::make_unique<TPassForm>(nullptr); }
  void TearDown() override { Form.reset(); }
  std::unique_ptr<TPassForm> Form;
};

TEST_F(PassFormTest, ControlsAsDescribed) {
  EXPECT_EQ(Form->size(), QSize(242, 281));
  EXPECT_EQ(Form->windowTitle(), TPassForm::kShowCaption);
  EXPECT_TRUE(Form->windowFlags().testFlag(Qt::Tool));
  struct Place {
    QWidget *Widget;
    QRect Rect;
  };
  const Place Places[] = {
      {Form->PageControl1, {8, 8, 225, 241}},    {Form->GrChangePW, {8, 8, 201, 145}},
      {Form->EdPassWord, {48, 32, 105, 24}},     {Form->BtnUnlockPW, {48, 72, 105, 25}},
      {Form->ImgLock, {8, 104, 33, 33}},         {Form->EdNewPassWord1, {48, 32, 105, 24}},
      {Form->EdNewPassWord2, {48, 64, 105, 24}}, {Form->BtnChangePW, {16, 104, 169, 25}},
      {Form->BtnLostPW, {8, 32, 177, 25}},       {Form->EdNS, {11, 88, 174, 23}},
      {Form->EdP1, {32, 116, 129, 23}},          {Form->BtnClose, {16, 248, 209, 25}},
  };
  for (const Place &P : Places)
    EXPECT_EQ(P.Widget->geometry(), P.Rect) << P.Widget->objectName().toStdString();

  struct Caption {
    TLangueControl *Control;
    const char *Fr;
    const char *En;
  };
  const Caption Captions[] = {
      {Form->findChild<TGroupBoxLangue *>(QStringLiteral("GroupBoxLangue2")), "Mot de passe",
       "Password"},
      {Form->BtnUnlockPW, "Deverrouille", "Unlock"},
      {Form->GrChangePW, "Nouveau mot de passe", "New Password"},
      {Form->BtnChangePW, "Change le mot de passe", "Change password"},
      {Form->findChild<TLabelLangue *>(QStringLiteral("LabelLangue2")),
       "Cliquer sur :", "Click on :"},
      {Form->BtnLostPW, "J'ai perdu mon mot de passe", "I lost my password"},
      {Form->findChild<TLabelLangue *>(QStringLiteral("LabelLangue1")), "Et contacter Borvane",
       "And contact Borvane"},
      {Form->BtnClose, "Ferme", "Close"},
  };
  for (const Caption &C : Captions) {
    ASSERT_NE(C.Control, nullptr) << C.Fr;
    EXPECT_EQ(C.Control->captionFr(), QString::fromUtf8(C.Fr));
    EXPECT_EQ(C.Control->captionEn(), QString::fromUtf8(C.En));
    EXPECT_EQ(C.Control->Caption(), QString::fromUtf8(C.Fr));
  }
  EXPECT_EQ(Form->BtnUnlockPW->text(), QStringLiteral("Deverrouille"));
  auto *Lost = Form->findChild<TGroupBoxLangue *>(QStringLiteral("GroupBoxLangue1"));
  ASSERT_NE(Lost, nullptr);
  EXPECT_TRUE(Lost->title().isEmpty());

  // At creation: change group enabled, its button disabled, the lock picture there.
  EXPECT_TRUE(Form->GrChangePW->isEnabled());
  EXPECT_FALSE(Form->BtnChangePW->isEnabled());
  EXPECT_FALSE(Form->ImgLock->isHidden());
  EXPECT_FALSE(Form->ImgLock->pixmap().isNull());
  EXPECT_EQ(Form->EdNS->text(), QStringLiteral("00 00 00 00 00 00 00 00"));
  EXPECT_EQ(Form->EdP1->text(), QStringLiteral("00 00 00 00 00 00"));
  EXPECT_TRUE(Form->EdNS->isReadOnly());
  EXPECT_TRUE(Form->EdP1->isReadOnly());
  EXPECT_EQ(Form->EdNS->font().pixelSize(), 12);
  EXPECT_EQ(Form->EdP1->font().pixelSize(), 12);
}

TEST_F(PassFormTest, PasswordEditsUpperCaseEightStars) {
  for (QLineEdit *Edit : {Form->EdPassWord, Form->EdNewPassWord1, Form->EdNewPassWord2}) {
    SCOPED_TRACE(Edit->objectName().toStdString());
    EXPECT_EQ(Edit->maxLength(), 8);
    EXPECT_EQ(Edit->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, Edit), '*');
    EXPECT_EQ(Edit->font().pixelSize(), 16);
    Type(Edit, QStringLiteral("abc_dé9xyz"));
    EXPECT_EQ(Edit->text(), QStringLiteral("ABC_DÉ9X"));
    EXPECT_EQ(Edit->displayText(), QString(8, QLatin1Char('*')));
  }
}

TEST_F(PassFormTest, ChangeButtonNeedsFourEqualPackableCharacters) {
  struct Case {
    const char *Typed1;
    const char *Typed2;
    bool Enabled;
  };
  const Case Cases[] = {
      {"", "", false},
      {"ABC", "ABC", false},   // 3 characters
      {"ABCD", "ABCD", true},  // 4 characters
      {"abcd", "ABCD", true},  // typing is upper-cased
      {"ABCD", "ABCE", false}, // differ
      {"ABCD", "ABCDE", false},
      {"12345678", "12345678", true},   // 8 characters
      {"1234567890", "12345678", true}, // cut at 8
      {"A B@[", "A B@[", true},         // space and signs 0x40, 0x5B are packable
      {"AB`D", "AB`D", false},          // 0x60 stays outside the range
      {"AB{}", "AB{}", false},
      {"ÉCOLE", "ÉCOLE", false}, // beyond 0x5F
      {"AB€D", "AB€D", false},   // beyond Latin-1
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(std::string(C.Typed1) + " / " + C.Typed2);
    Form->EdNewPassWord1->setText(QString());
    Form->EdNewPassWord2->setText(QString());
    Type(Form->EdNewPassWord1, QString::fromUtf8(C.Typed1));
    Type(Form->EdNewPassWord2, QString::fromUtf8(C.Typed2));
    EXPECT_EQ(Form->BtnChangePW->isEnabled(), C.Enabled);
  }
  // Changing either edit afterwards re-checks the rule.
  Form->EdNewPassWord1->setText(QStringLiteral("WXYZ"));
  Form->EdNewPassWord2->setText(QStringLiteral("WXYZ"));
  EXPECT_TRUE(Form->BtnChangePW->isEnabled());
  QTest::keyClick(Form->EdNewPassWord2, Qt::Key_Backspace);
  EXPECT_FALSE(Form->BtnChangePW->isEnabled());
}

TEST_F(PassFormTest, EveryShowingStartsOnFirstTabWithItsCaptions) {
  for (int Round = 0; Round < 2; ++Round) {
    Form->show();
    EXPECT_EQ(Form->PageControl1->currentIndex(), 0);
    EXPECT_EQ(Form->windowTitle(), QStringLiteral("Authentification de l'utilsateur"));
    EXPECT_EQ(Form->PageControl1->tabText(0), QStringLiteral("Authentification de l'utilsateur"));
    EXPECT_EQ(Form->PageControl1->tabText(1), QStringLiteral("Changement du mot de passe"));
    EXPECT_EQ(Form->PageControl1->tabText(2), QStringLiteral("Perte mot de passe"));
    // The tab buttons carry the same captions, every one of them whole on screen.
    for (int i = 0; i < 3; ++i) {
      QToolButton *Tab = Form->PageControl1->tabButton(i);
      ASSERT_NE(Tab, nullptr);
      EXPECT_EQ(Tab->text(), Form->PageControl1->tabText(i));
      EXPECT_TRUE(Form->PageControl1->rect().contains(Tab->geometry()));
      EXPECT_GE(Tab->width(), Tab->sizeHint().width())
          << Tab->text().toStdString() << " in " << QFontInfo(Tab->font()).family().toStdString()
          << " " << QFontInfo(Tab->font()).pixelSize() << " px";
    }
    // Leave it elsewhere, with other captions, and close it.
    QTest::mouseClick(Form->PageControl1->tabButton(2), Qt::LeftButton);
    EXPECT_EQ(Form->PageControl1->currentIndex(), 2);
    Form->PageControl1->setTabText(0, QStringLiteral("autre"));
    Form->setWindowTitle(QStringLiteral("autre"));
    QTest::mouseClick(Form->BtnClose, Qt::LeftButton);
    EXPECT_FALSE(Form->isVisible());
  }
}

TEST_F(PassFormTest, EnterUnlocksAndEmptiesWithoutAnInstrument) {
  Form->show();
  Type(Form->EdPassWord, QStringLiteral("secret"));
  QTest::keyClick(Form->EdPassWord, Qt::Key_Return);
  EXPECT_TRUE(Form->EdPassWord->text().isEmpty());
  EXPECT_FALSE(Form->EdPassWord->isUndoAvailable());
  // Enter went to the edit only: it did not press a button of the dialog.
  EXPECT_TRUE(Form->isVisible());
}

TEST_F(PassFormTest, UnlockEventClosesOnlyAShownDialog) {
  Form->ZOLUnlockDevice();
  EXPECT_FALSE(Form->isVisible());
  Form->show();
  Form->ZOLUnlockDevice();
  EXPECT_FALSE(Form->isVisible());
  Form->ZOLUnlockDevice(); // late: nothing happens
  EXPECT_FALSE(Form->isVisible());
}

TEST_F(PassFormTest, CryptedPasswordShownLastByteFirst) {
  struct Case {
    std::array<std::uint8_t, 6> Bytes;
    const char *Shown;
  };
  const Case Cases[] = {
      {{0x01, 0x02, 0x0A, 0xB0, 0xCD, 0xEF}, "EF CD B0 0A 02 01 "},
      {{0, 0, 0, 0, 0, 0}, "00 00 00 00 00 00 "},
      {{0xFF, 0x10, 0x20, 0x30, 0x40, 0x5A}, "5A 40 30 20 10 FF "},
  };
  for (const Case &C : Cases) {
    TZOLModel Model;
    Model.CryptedPassword = C.Bytes;
    Model.SerialNumber = "SIMRW80000000001";
    Form->ZOLGetCryptedPassword(Model);
    EXPECT_EQ(Form->EdP1->text(), QString::fromLatin1(C.Shown));
  }
}

TEST_F(PassFormTest, SerialNumberInPairsShortOnesPadded) {
  struct Case {
    const char *Serial;
    const char *Shown;
  };
  const Case Cases[] = {
      {"SIMRW80000000001", "SI MR W8 00 00 00 00 01 "},
      {"0123456789ABCDEFXYZ", "01 23 45 67 89 AB CD EF "}, // beyond 16: not shown
      {"unknown", "un kn ow n              "},
      {"", "                        "},
      {"A", "A                       "},
      {"é1", "é1                      "}, // characters, not bytes
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.Serial);
    TZOLModel Model;
    Model.SerialNumber = C.Serial;
    Form->ZOLGetCryptedPassword(Model);
    EXPECT_EQ(Form->EdNS->text(), QString::fromUtf8(C.Shown));
    EXPECT_EQ(Form->EdNS->text().size(), 24);
  }
}

// ---- Password dialog on a simulated instrument ------------------------------------------------

class PassOnInstrumentTest : public TMainWindowTest {
protected:
  /// Gives the instrument the password Password and plugs it in again, so that it is locked.
  void LockWith(const std::string &Password) {
    Form->ZOL->ChangePassword(Password);
    const std::string Padded = (Password + "        ").substr(0, 8);
    ASSERT_TRUE(WaitUntil([&] { return Instrument()->Snapshot().Password == Padded; }));
    Instrument()->SetPresent(false);
    ASSERT_TRUE(WaitUntil([&] { return !Form->DevicePresent; }));
    Instrument()->SetPresent(true);
    ASSERT_TRUE(WaitUntil([&] { return Form->DevicePresent; }));
    ASSERT_TRUE(Instrument()->Snapshot().WriteLocked);
    ASSERT_TRUE(WaitUntil([&] { return !PassForm->ImgLock->isHidden(); }));
    EXPECT_FALSE(PassForm->GrChangePW->isEnabled());
  }
};

TEST_F(PassOnInstrumentTest, UnlockByButtonAndByEnter) {
  Start(1);
  for (const bool ByEnter : {false, true}) {
    SCOPED_TRACE(ByEnter ? "Enter" : "button");
    LockWith("OPEN1");
    PassForm->show();
    ASSERT_TRUE(PassForm->isVisible());
    Type(PassForm->EdPassWord, QStringLiteral("open1"));
    if (ByEnter)
      QTest::keyClick(PassForm->EdPassWord, Qt::Key_Enter);
    else
      QTest::mouseClick(PassForm->BtnUnlockPW, Qt::LeftButton);
    EXPECT_TRUE(PassForm->EdPassWord->text().isEmpty());
    EXPECT_FALSE(PassForm->EdPassWord->isUndoAvailable());
    // The dialog closes when the instrument has answered that it is unlocked.
    ASSERT_TRUE(WaitUntil([] { return !PassForm->isVisible(); }));
    EXPECT_FALSE(Instrument()->Snapshot().WriteLocked);
    EXPECT_TRUE(WaitUntil([] { return PassForm->ImgLock->isHidden(); }));
    EXPECT_TRUE(PassForm->GrChangePW->isEnabled());
  }
}

TEST_F(PassOnInstrumentTest, WrongPasswordLeavesItOpenAndLocked) {
  Start(1);
  LockWith("RIGHT");
  PassForm->show();
  const std::uint64_t Unlocks = Instrument()->Snapshot().CommandCount(0x40);
  Type(PassForm->EdPassWord, QStringLiteral("WRONG"));
  QTest::mouseClick(PassForm->BtnUnlockPW, Qt::LeftButton);
  EXPECT_TRUE(PassForm->EdPassWord->text().isEmpty());
  ASSERT_TRUE(WaitUntil([&] { return Instrument()->Snapshot().CommandCount(0x40) > Unlocks; }));
  // The unlock answer, the state request it sends and several answers after it have all
  // reached the windows.
  const int From = StateUpdates;
  ASSERT_TRUE(WaitUntil([&] { return StateUpdates >= From + 5; }));
  EXPECT_TRUE(PassForm->isVisible());
  EXPECT_FALSE(PassForm->ImgLock->isHidden());
  EXPECT_TRUE(Instrument()->Snapshot().WriteLocked);
  PassForm->close();
}

TEST_F(PassOnInstrumentTest, ChangePasswordEmptiesBothEdits) {
  Start(1);
  ASSERT_TRUE(WaitUntil([] { return PassForm->GrChangePW->isEnabled(); }));
  PassForm->show();
  Type(PassForm->EdNewPassWord1, QStringLiteral("new1"));
  Type(PassForm->EdNewPassWord2, QStringLiteral("NEW1"));
  ASSERT_TRUE(PassForm->BtnChangePW->isEnabled());
  PassForm->PageControl1->setCurrentIndex(1);
  QTest::mouseClick(PassForm->BtnChangePW, Qt::LeftButton);
  EXPECT_TRUE(PassForm->EdNewPassWord1->text().isEmpty());
  EXPECT_TRUE(PassForm->EdNewPassWord2->text().isEmpty());
  EXPECT_FALSE(PassForm->BtnChangePW->isEnabled());
  EXPECT_TRUE(WaitUntil([&] { return Instrument()->Snapshot().Password == "NEW1    "; }));
  EXPECT_TRUE(PassForm->isVisible());
  PassForm->close();
}

TEST_F(PassOnInstrumentTest, LostPasswordFillsBothFieldsInBothLockStates) {
  Start(1);
  for (const bool Locked : {false, true}) {
    SCOPED_TRACE(Locked ? "locked" : "unlocked");
    if (Locked)
      LockWith("LOST");
    PassForm->EdP1->setText(QStringLiteral("-"));
    PassForm->EdNS->setText(QStringLiteral("-"));
    PassForm->show();
    QTest::mouseClick(PassForm->BtnLostPW, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([] { return PassForm->EdNS->text() != QStringLiteral("-"); }));
    const std::string Serial = Instrument()->SerialNumber();
    const auto Crypted = VirtualRW8::CryptPassword(Instrument()->Snapshot().Password, Serial);
    QString Expected;
    for (int i = 5; i >= 0; --i)
      Expected += Hex2(Crypted[static_cast<std::size_t>(i)]) + QLatin1Char(' ');
    EXPECT_EQ(PassForm->EdP1->text(), Expected);
    QString Pairs;
    for (std::size_t i = 0; i < 16; i += 2)
      Pairs += QString::fromStdString(Serial.substr(i, 2)) + QLatin1Char(' ');
    EXPECT_EQ(PassForm->EdNS->text(), Pairs);
    PassForm->close();
  }
}

} // namespace
} // namespace zol::test
