// Tests of the password dialog, the write-history window, the selection, about and error
// dialogs, and the single-instance lock of the program's entry point.
#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "WindowsTest.h"
#include "controls/MyControls.h"
#include "protocol/ZOL.h"
#include "sim/SimPlatform.h"
#include "windows/About.h"
#include "windows/BackTrace.h"
#include "windows/Error.h"
#include "windows/Main.h"
#include "windows/Pass.h"
#include "windows/Select.h"
#include "windows/SingleInstance.h"
#include "windows/TZOL.h"
#include "windows/ZOLCFG.h"

extern char **environ;

namespace zol::test {
namespace {

constexpr std::array<std::uint8_t, 8> kSlotMasks = {0xFF, 0xFE, 0xFC, 0xF8, 0xF0, 0xE0, 0xC0, 0x80};

TWROP Record(std::uint8_t Mask, std::uint8_t Code, std::uint16_t Date, std::uint16_t Time) {
  TWROP R;
  R.SlotMask = Mask;
  R.OpCode = Code;
  R.OpDate = Date;
  R.OpTime = Time;
  return R;
}

/// Types Text into Widget key by key, accented and other non-ASCII characters included.
void Type(QWidget *Widget, const QString &Text) {
  for (const QChar c : Text) {
    const Qt::Key Key = c.unicode() < 0x80 && c.isLetterOrNumber()
                            ? static_cast<Qt::Key>(c.toUpper().unicode())
                            : Qt::Key_unknown;
    QTest::sendKeyEvent(QTest::Click, Widget, Key, QString(c), Qt::NoModifier);
  }
}

QString Hex2(std::uint8_t Byte) {
  return QStringLiteral("%1").arg(Byte, 2, 16, QLatin1Char('0')).toUpper();
}

/// The row the grid shows for a record, as the four texts of columns 1 to 4.
QStringList RowOf(const TWROP &R) {
  return {Hex2(R.SlotMask), QString::fromStdString(WROPOperationName(R.OpCode)),
          QString::fromStdString(WROPDateText(R.OpDate)),
          QString::fromStdString(WROPTimeText(R.OpTime))};
}

QStringList GridRow(const TBackTraceForm &Form, int Row) {
  QStringList Texts;
  for (int Column = 1; Column < 5; ++Column)
    Texts << Form.StGrOP->item(Row, Column)->text();
  return Texts;
}

// ---- Password dialog, on its own ---------------------------------------------------------------

class PassFormTest : public ::testing::Test {
protected:
  void SetUp() override {
    MainForm = nullptr;
    Form = std::make_unique<TPassForm>();
  }
  void TearDown() override {
    Form.reset();
  }
  std::unique_ptr<TPassForm> Form;
};

TEST_F(PassFormTest, ControlsAsDescribed) {
  EXPECT_EQ(Form->size(), QSize(242, 281));
  EXPECT_EQ(Form->windowTitle(), TPassForm::ShowCaption);
  EXPECT_TRUE(Form->windowFlags().testFlag(Qt::Tool));
  struct Place {
    QWidget *Widget;
    QRect Rect;
  };
  const Place Places[] = {
      {Form->PageControl1, {8, 8, 225, 241}},     {Form->GrChangePW, {8, 8, 201, 145}},
      {Form->EdPassWord, {48, 32, 105, 24}},      {Form->BtnUnlockPW, {48, 72, 105, 25}},
      {Form->ImgLock, {8, 104, 33, 33}},          {Form->EdNewPassWord1, {48, 32, 105, 24}},
      {Form->EdNewPassWord2, {48, 64, 105, 24}},  {Form->BtnChangePW, {16, 104, 169, 25}},
      {Form->BtnLostPW, {8, 32, 177, 25}},        {Form->EdNS, {11, 88, 174, 23}},
      {Form->EdP1, {32, 116, 129, 23}},           {Form->BtnClose, {16, 248, 209, 25}},
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
      {Form->findChild<TLabelLangue *>(QStringLiteral("LabelLangue2")), "Cliquer sur :",
       "Click on :"},
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
    EXPECT_EQ(Edit->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, Edit),
              '*');
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
      {"ABC", "ABC", false},          // 3 characters
      {"ABCD", "ABCD", true},         // 4 characters
      {"abcd", "ABCD", true},         // typing is upper-cased
      {"ABCD", "ABCE", false},        // differ
      {"ABCD", "ABCDE", false},
      {"12345678", "12345678", true}, // 8 characters
      {"1234567890", "12345678", true}, // cut at 8
      {"A B@[", "A B@[", true},       // space and signs 0x40, 0x5B are packable
      {"AB`D", "AB`D", false},        // 0x60 stays outside the range
      {"AB{}", "AB{}", false},
      {"ÉCOLE", "ÉCOLE", false},      // beyond 0x5F
      {"AB€D", "AB€D", false},        // beyond Latin-1
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
      QToolButton *Tab = Form->PageControl1->TabButton(i);
      ASSERT_NE(Tab, nullptr);
      EXPECT_EQ(Tab->text(), Form->PageControl1->tabText(i));
      EXPECT_TRUE(Form->PageControl1->rect().contains(Tab->geometry()));
      EXPECT_GE(Tab->width(), Tab->sizeHint().width());
    }
    // Leave it elsewhere, with other captions, and close it.
    QTest::mouseClick(Form->PageControl1->TabButton(2), Qt::LeftButton);
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
    ASSERT_TRUE(WaitUntil([&] { return Instrument()->Password() == Padded; }));
    Instrument()->SetPresent(false);
    ASSERT_TRUE(WaitUntil([&] { return !Form->DevicePresent; }));
    Instrument()->SetPresent(true);
    ASSERT_TRUE(WaitUntil([&] { return Form->DevicePresent; }));
    ASSERT_TRUE(Instrument()->WriteLocked());
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
    EXPECT_FALSE(Instrument()->WriteLocked());
    EXPECT_TRUE(WaitUntil([] { return PassForm->ImgLock->isHidden(); }));
    EXPECT_TRUE(PassForm->GrChangePW->isEnabled());
  }
}

TEST_F(PassOnInstrumentTest, WrongPasswordLeavesItOpenAndLocked) {
  Start(1);
  LockWith("RIGHT");
  PassForm->show();
  const std::uint64_t Unlocks = Instrument()->CommandCount(0x40);
  Type(PassForm->EdPassWord, QStringLiteral("WRONG"));
  QTest::mouseClick(PassForm->BtnUnlockPW, Qt::LeftButton);
  EXPECT_TRUE(PassForm->EdPassWord->text().isEmpty());
  ASSERT_TRUE(WaitUntil([&] { return Instrument()->CommandCount(0x40) > Unlocks; }));
  // The unlock answer, the state request it sends and several answers after it have all
  // reached the windows.
  const int From = StateUpdates;
  ASSERT_TRUE(WaitUntil([&] { return StateUpdates >= From + 5; }));
  EXPECT_TRUE(PassForm->isVisible());
  EXPECT_FALSE(PassForm->ImgLock->isHidden());
  EXPECT_TRUE(Instrument()->WriteLocked());
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
  EXPECT_TRUE(WaitUntil([&] { return Instrument()->Password() == "NEW1    "; }));
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
    const auto Crypted = VirtualRW8::CryptPassword(Instrument()->Password(), Serial);
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

// ---- Write-history window, on its own ----------------------------------------------------------

class BackTraceTest : public ::testing::Test {
protected:
  void SetUp() override {
    MainForm = nullptr;
    Form = std::make_unique<TBackTraceForm>();
    // The device component asks for each record itself: the window only starts a read.
    Form->RequestHistory = [this] { ++Reads; };
  }
  /// Shows the window (a read starts) and answers with Records in this order.
  void ReadWith(const std::vector<TWROP> &Records) {
    for (const TWROP &R : Records)
      Form->ReceiveWROP(R);
  }
  std::unique_ptr<TBackTraceForm> Form;
  int Reads = 0; // history reads started
};

TEST_F(BackTraceTest, GridAsDescribed) {
  EXPECT_EQ(Form->size(), QSize(578, 249));
  EXPECT_EQ(Form->windowTitle(), QStringLiteral("Liste des 8 dernières opérations"));
  EXPECT_EQ(Form->StGrOP->geometry(), QRect(8, 8, 561, 193));
  EXPECT_EQ(Form->BtnClose->geometry(), QRect(8, 208, 105, 25));
  EXPECT_EQ(Form->ProgressBar1->geometry(), QRect(120, 208, 337, 25));
  EXPECT_EQ(Form->BtnReadWROP->geometry(), QRect(464, 208, 107, 25));
  EXPECT_EQ(Form->BtnClose->text(), QStringLiteral("Ferme"));
  EXPECT_EQ(Form->BtnReadWROP->text(), QStringLiteral("Relire les opérations"));
  EXPECT_EQ(Form->ProgressBar1->minimum(), 0);
  EXPECT_EQ(Form->ProgressBar1->maximum(), 7);
  ASSERT_EQ(Form->StGrOP->columnCount(), 5);
  ASSERT_EQ(Form->StGrOP->rowCount(), 9);
  const int Widths[] = {80, 41, 272, 80, 80};
  for (int c = 0; c < 5; ++c)
    EXPECT_EQ(Form->StGrOP->columnWidth(c), Widths[c]);
  for (int r = 0; r < 9; ++r)
    EXPECT_EQ(Form->StGrOP->rowHeight(r), 20);
  EXPECT_EQ(Form->StGrOP->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(Form->StGrOP->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

  Form->show();
  EXPECT_EQ(GridRow(*Form, 0),
            (QStringList{"Msk", QStringLiteral("Opération"), "Date", "Heure"}));
  EXPECT_TRUE(Form->StGrOP->item(0, 0)->text().isEmpty());
  for (int r = 1; r <= 8; ++r) {
    EXPECT_EQ(Form->StGrOP->item(r, 0)->text(), QString::number(r - 1));
    EXPECT_EQ(GridRow(*Form, r), (QStringList{" ", " ", " ", " "}));
  }
  EXPECT_EQ(Reads, 1);
  EXPECT_EQ(Form->ProgressBar1->value(), 0);
}

TEST_F(BackTraceTest, RecordsLandInTheirSlotsWhateverTheOrder) {
  const std::vector<std::vector<int>> Orders = {
      {0, 1, 2, 3, 4, 5, 6, 7}, {7, 6, 5, 4, 3, 2, 1, 0}, {3, 0, 7, 1, 6, 2, 5, 4}};
  for (const auto &Order : Orders) {
    Reads = 0;
    Form->show();
    std::vector<TWROP> Sent;
    for (int Slot : Order)
      Sent.push_back(Record(kSlotMasks[static_cast<std::size_t>(Slot)],
                            static_cast<std::uint8_t>(0x20 + Slot), 100 * Slot + 1,
                            static_cast<std::uint16_t>(0x1000 * Slot)));
    Form->ReceiveWROP(Sent[0]);
    EXPECT_EQ(Form->ProgressBar1->value(), 0);
    for (std::size_t i = 1; i < Sent.size(); ++i) {
      // The list waits for the last answer.
      EXPECT_EQ(Form->StGrOP->item(1, 1)->text(), QStringLiteral(" "));
      Form->ReceiveWROP(Sent[i]);
    }
    EXPECT_EQ(Form->ProgressBar1->value(), 7);
    EXPECT_EQ(Reads, 1); // and no request of the window's own per record
    for (int Slot = 0; Slot < 8; ++Slot) {
      const TWROP &R = Form->History[static_cast<std::size_t>(Slot)];
      EXPECT_EQ(R.SlotMask, kSlotMasks[static_cast<std::size_t>(Slot)]);
      EXPECT_EQ(Form->StGrOP->item(Slot + 1, 0)->text(), QString::number(Slot));
      EXPECT_EQ(GridRow(*Form, Slot + 1), RowOf(R));
    }
    Form->close();
  }
}

TEST_F(BackTraceTest, DuplicateAndSlotlessAnswersCountButKeepOtherSlots) {
  // A first read fills every slot.
  Form->show();
  for (int Slot = 0; Slot < 8; ++Slot)
    Form->ReceiveWROP(Record(kSlotMasks[static_cast<std::size_t>(Slot)], 0x20, 10, 20));
  const TWROP Earlier6 = Form->History[6];
  const TWROP Earlier7 = Form->History[7];

  // The second read: slot 1 twice (the later one stays), 0x00 and 0x7F have no slot; slots 6
  // and 7 are not delivered and keep the records of the first read.
  Reads = 0;
  Form->BtnReadWROPClick();
  ReadWith({Record(0xFF, 0x21, 1, 1), Record(0xFE, 0x22, 2, 2), Record(0xFE, 0x41, 3, 3),
            Record(0x00, 0x60, 4, 4), Record(0xFC, 0x30, 5, 5), Record(0x7F, 0x61, 6, 6),
            Record(0xF8, 0x31, 7, 7), Record(0xF0, 0x66, 8, 8)});
  EXPECT_EQ(Reads, 1);
  EXPECT_EQ(Form->ProgressBar1->value(), 7);
  EXPECT_EQ(Form->History[1].OpCode, 0x41);
  EXPECT_EQ(GridRow(*Form, 2), RowOf(Record(0xFE, 0x41, 3, 3)));
  EXPECT_EQ(GridRow(*Form, 7), RowOf(Earlier6));
  EXPECT_EQ(GridRow(*Form, 8), RowOf(Earlier7));
  EXPECT_EQ(Form->History[5].OpCode, 0x20); // slot 5 untouched
}

TEST_F(BackTraceTest, SlotsNeverFilledShowZeroRecords) {
  Form->show();
  ReadWith(std::vector<TWROP>(8, Record(0xFF, 0x23, 366, 0x8000)));
  EXPECT_EQ(GridRow(*Form, 1),
            (QStringList{"FF", "???", "1/1/2001", "12:0"}));
  for (int Row = 2; Row <= 8; ++Row)
    EXPECT_EQ(GridRow(*Form, Row), (QStringList{"00", "???", "1/1/2000", "0:0"}));
}

TEST_F(BackTraceTest, RestartMidReadCountsAnswersStillOnTheirWay) {
  Form->show();
  ReadWith({Record(0xFF, 0x20, 1, 1), Record(0xFE, 0x20, 1, 1), Record(0xFC, 0x20, 1, 1)});
  EXPECT_EQ(Form->RequestIndex, 3);
  EXPECT_EQ(Form->ProgressBar1->value(), 2);
  Reads = 0;
  QTest::mouseClick(Form->BtnReadWROP, Qt::LeftButton);
  EXPECT_EQ(Form->RequestIndex, 0);
  EXPECT_EQ(Form->ProgressBar1->value(), 0);
  EXPECT_EQ(Reads, 1);
  // The answer to the old request for index 3 counts as the first of the new read.
  Form->ReceiveWROP(Record(0xF8, 0x21, 2, 2));
  EXPECT_EQ(Form->RequestIndex, 1);
  ReadWith({Record(0xFF, 0x22, 3, 3), Record(0xFE, 0x22, 3, 3), Record(0xFC, 0x22, 3, 3),
            Record(0xF8, 0x22, 3, 3), Record(0xF0, 0x22, 3, 3), Record(0xE0, 0x22, 3, 3)});
  EXPECT_EQ(Form->StGrOP->item(1, 1)->text(), QStringLiteral(" ")); // not complete yet
  Form->ReceiveWROP(Record(0xC0, 0x22, 3, 3));
  EXPECT_EQ(Reads, 1);
  EXPECT_EQ(GridRow(*Form, 7), RowOf(Record(0xC0, 0x22, 3, 3)));
}

TEST_F(BackTraceTest, LateAnswerIsStoredAndShownWithoutARequest) {
  Form->show();
  ReadWith(std::vector<TWROP>(8, Record(0xFF, 0x20, 1, 1)));
  ASSERT_EQ(Form->RequestIndex, 7);
  const int Before = Reads;
  Form->ReceiveWROP(Record(0xE0, 0x68, 4000, 0x4000));
  EXPECT_EQ(Reads, Before);
  EXPECT_EQ(Form->RequestIndex, 7);
  EXPECT_EQ(Form->ProgressBar1->value(), 7);
  EXPECT_EQ(GridRow(*Form, 6), RowOf(Record(0xE0, 0x68, 4000, 0x4000)));
  EXPECT_EQ(GridRow(*Form, 0),
            (QStringList{"Msk", QStringLiteral("Opération"), "Date", "Heure"}));
}

TEST_F(BackTraceTest, HistoryOutlivesShowingsAndClosingKeepsTheRead) {
  Form->show();
  ReadWith({Record(0xFF, 0x31, 9, 9), Record(0xFE, 0x31, 9, 9)});
  QTest::mouseClick(Form->BtnClose, Qt::LeftButton);
  EXPECT_FALSE(Form->isVisible());
  // Answers still on their way are stored though the window is closed.
  Form->ReceiveWROP(Record(0xFC, 0x31, 9, 9));
  EXPECT_EQ(Form->History[2].OpCode, 0x31);
  EXPECT_EQ(Form->RequestIndex, 3);
  Form->show();
  EXPECT_EQ(Form->RequestIndex, 0);
  EXPECT_EQ(Form->History[0].OpCode, 0x31);
  EXPECT_EQ(Form->StGrOP->item(1, 1)->text(), QStringLiteral(" "));
}

// ---- Write-history window on a simulated instrument -------------------------------------------

class BackTraceOnInstrumentTest : public TMainWindowTest {};

TEST_F(BackTraceOnInstrumentTest, ReadsTheEightRecordsOfTheInstrument) {
  Start(1);
  // The device component asks for each record when the previous one has come; the window
  // only counts and lists them.
  Instrument()->SetReportPeriod(20);
  // A few writes give the instrument a history (slot 0 newest).
  Form->ZOL->WriteFilter(2.5f);
  ASSERT_TRUE(WaitUntil([&] { return Instrument()->HistoryCount() >= 1; }));
  Form->ZOL->WriteTag("HISTORY");
  ASSERT_TRUE(WaitUntil([&] { return Instrument()->HistoryCount() >= 2; }));
  const std::uint64_t Reads = Instrument()->CommandCount(0x02);

  BackTraceForm->show();
  auto Matches = [&] {
    if (BackTraceForm->ProgressBar1->value() != 7)
      return false;
    for (int Slot = 0; Slot < 8; ++Slot) {
      const auto Held = Instrument()->HistoryRecord(Slot);
      const TWROP Expected =
          Held ? Record(kSlotMasks[static_cast<std::size_t>(Slot)], Held->OpCode, Held->OpDate,
                        Held->OpTime)
               : TWROP{};
      if (Held && GridRow(*BackTraceForm, Slot + 1) != RowOf(Expected))
        return false;
    }
    return true;
  };
  const bool Matched = WaitUntil(Matches, 10000);
  std::string Shown; // what the list shows, to tell a failure apart
  for (int Slot = 0; Slot < 8 && !Matched; ++Slot)
    Shown += GridRow(*BackTraceForm, Slot + 1).join(QLatin1Char('|')).toStdString() + "\n";
  ASSERT_TRUE(Matched) << "progress " << BackTraceForm->ProgressBar1->value() << "\n" << Shown;
  EXPECT_GE(Instrument()->CommandCount(0x02), Reads + 8);
  EXPECT_EQ(BackTraceForm->RequestIndex, 7);
  const auto Newest = Instrument()->HistoryRecord(0);
  ASSERT_TRUE(Newest.has_value());
  EXPECT_EQ(BackTraceForm->StGrOP->item(1, 2)->text(),
            QString::fromStdString(WROPOperationName(Newest->OpCode)));
  BackTraceForm->close();
}

// ---- Selection dialog --------------------------------------------------------------------------

class SelectFormTest : public ::testing::Test {
protected:
  void SetUp() override { Form = std::make_unique<TSelectForm>(); }
  std::unique_ptr<TSelectForm> Form;
};

TEST_F(SelectFormTest, DialogAsDescribed) {
  EXPECT_EQ(Form->size(), QSize(186, 258));
  EXPECT_EQ(Form->windowTitle(), QStringLiteral("Selection"));
  EXPECT_TRUE(Form->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(Form->GrRdSelect->geometry(), QRect(8, 40, 169, 169));
  EXPECT_EQ(Form->GrRdSelect->title(), QStringLiteral("Selection"));
  EXPECT_EQ(Form->BtnOK->geometry(), QRect(96, 224, 75, 25));
  EXPECT_EQ(Form->BtnOK->text(), QStringLiteral("OK"));
  EXPECT_EQ(Form->ItemIndex(), -1);
}

TEST_F(SelectFormTest, SelectedLineTakenHoweverItCloses) {
  enum class How { OK, CloseBox, Escape };
  for (const How Closing : {How::OK, How::CloseBox, How::Escape}) {
    SCOPED_TRACE(static_cast<int>(Closing));
    Form->SetItems({QStringLiteral("USB N°0"), QStringLiteral("USB N°1"), QStringLiteral("USB N°2")},
                   0);
    EXPECT_EQ(Form->Items(), (QStringList{"USB N°0", "USB N°1", "USB N°2"}));
    EXPECT_EQ(Form->ItemIndex(), 0);
    TModalWatcher Watcher([&](QWidget *Modal) {
      if (Modal != Form.get())
        return false;
      auto Lines = Form->GrRdSelect->findChildren<QRadioButton *>();
      if (Lines.size() != 3)
        return false;
      QTest::mouseClick(Lines[2], Qt::LeftButton, {}, QPoint(4, Lines[2]->height() / 2));
      switch (Closing) {
      case How::OK:
        QTest::mouseClick(Form->BtnOK, Qt::LeftButton);
        break;
      case How::CloseBox:
        Form->close();
        break;
      case How::Escape:
        QTest::keyClick(Form.get(), Qt::Key_Escape);
        break;
      }
      return true;
    });
    Form->exec();
    EXPECT_EQ(Watcher.Handled(), 1);
    EXPECT_EQ(Form->ItemIndex(), 2);
  }
  // Rebuilt before each use: fewer lines, none left over.
  Form->SetItems({QStringLiteral("USB N°0")}, 0);
  EXPECT_EQ(Form->GrRdSelect->findChildren<QRadioButton *>().size(), 1);
  Form->SetItems({QStringLiteral("USB N°0")}, 5);
  EXPECT_EQ(Form->ItemIndex(), -1);
}

class SelectOnInstrumentsTest : public TMainWindowTest {};

TEST_F(SelectOnInstrumentsTest, CloseBoxOpensTheSelectedInstrument) {
  Create(2);
  int Asked = 0;
  TModalWatcher Watcher([&](QWidget *Modal) {
    if (Modal != SelectForm)
      return false;
    ++Asked;
    EXPECT_EQ(SelectForm->Items(), (QStringList{"USB N°0", "USB N°1"}));
    EXPECT_EQ(SelectForm->ItemIndex(), 0);
    SelectForm->SetItemIndex(1);
    SelectForm->close();
    return true;
  });
  Form->show();
  ASSERT_TRUE(WaitUntil([&] { return Form->DevicePresent; }));
  EXPECT_EQ(Asked, 1);
  EXPECT_EQ(Form->ZOL->Snapshot().SerialNumber, Instrument(1)->SerialNumber());
}

// ---- About box and error dialog ----------------------------------------------------------------

TEST(AboutBoxTest, LabelsFromTheSystem) {
  struct Case {
    int PlatformId;
    const char *Name;
    std::uint32_t Major, Minor, Build;
    const char *ServicePack;
    const char *Systeme;
    const char *VersionWin;
  };
  const Case Cases[] = {
      {2, "", 5, 1, 2600, "Service Pack 3", "Microsoft Windows NT/2000/XP/Vista/Seven",
       "Version n° : 5.1.2600 Service Pack 3"},
      {1, "", 4, 10, 0x0A0A08CEu, "A", "Microsoft Windows 95/98/Millenium",
       "Version n° : 4.10.2254 A"}, // only the low 16 bits of the build
      {0, "", 3, 10, 0, "", "Microsoft Windows 3.1/Win32s", "Version n° : 3.10.0 "},
      {7, "", 6, 1, 7601, "", "Systeme", "Version n° : 6.1.7601 "}, // unlisted: unchanged
      {-1, "Debian GNU/Linux 12 (bookworm)", 6, 1, 0, "18-amd64",
       "Debian GNU/Linux 12 (bookworm)", "Version n° : 6.1.0 18-amd64"},
  };
  for (const Case &C : Cases) {
    SCOPED_TRACE(C.VersionWin);
    TAboutBox Box;
    TSystemVersion V;
    V.PlatformId = C.PlatformId;
    V.Name = QString::fromUtf8(C.Name);
    V.Major = C.Major;
    V.Minor = C.Minor;
    V.Build = C.Build;
    V.ServicePack = QString::fromUtf8(C.ServicePack);
    Box.ShowSystem(V);
    EXPECT_EQ(Box.Systeme->text(), QString::fromUtf8(C.Systeme));
    EXPECT_EQ(Box.VersionWin->text(), QString::fromUtf8(C.VersionWin));
    EXPECT_EQ(Box.windowTitle(), QStringLiteral("A propos de ..."));
    EXPECT_EQ(Box.ProductName->text(), QStringLiteral("ZOLCFG - Français"));
    EXPECT_EQ(Box.Version->text(), QStringLiteral("Version : 1.04"));
    EXPECT_EQ(Box.Programmeur->text(), TAboutBox::CreditLine);
  }
}

TEST(AboutBoxTest, ShowingDescribesTheRunningSystem) {
  TAboutBox Box;
  EXPECT_EQ(Box.windowTitle(), QStringLiteral("A propos ..."));
  EXPECT_EQ(Box.size(), QSize(265, 217));
  EXPECT_EQ(Box.Panel1->geometry(), QRect(0, 32, 265, 137));
  EXPECT_EQ(Box.Programmeur->size(), QSize(168, 17));
  EXPECT_EQ(Box.OKButton->size(), QSize(65, 33));
  EXPECT_TRUE(Box.OKButton->isDefault());
  EXPECT_TRUE(Box.ProductName->font().bold());
  TModalWatcher Watcher([&](QWidget *Modal) {
    if (Modal != &Box)
      return false;
    QTest::mouseClick(Box.OKButton, Qt::LeftButton);
    return true;
  });
  EXPECT_EQ(Box.exec(), QDialog::Accepted);
  EXPECT_EQ(Box.windowTitle(), QStringLiteral("A propos de ..."));
  EXPECT_NE(Box.Systeme->text(), QStringLiteral("Systeme"));
  static const QRegularExpression Line(QStringLiteral("^Version n° : \\d+\\.\\d+\\.\\d+ .*$"));
  EXPECT_TRUE(Line.match(Box.VersionWin->text()).hasMatch()) << Box.VersionWin->text().toStdString();
}

TEST(ErrorFormTest, CreatedNotShownAndClosedByItsButton) {
  TErrorForm Form;
  EXPECT_FALSE(Form.isVisible());
  EXPECT_EQ(Form.windowTitle(), QStringLiteral("Erreur"));
  EXPECT_EQ(Form.size(), QSize(243, 129));
  EXPECT_EQ(Form.Label1->text(), QStringLiteral("Problème materiel"));
  EXPECT_EQ(Form.Label1->font().pixelSize(), 19);
  EXPECT_EQ(Form.Button1->text(), QStringLiteral("Ok"));
  EXPECT_EQ(Form.Image2->size(), QSize(33, 33));
  EXPECT_FALSE(Form.Image2->pixmap().isNull());
  Form.show();
  QTest::mouseClick(Form.Button1, Qt::LeftButton);
  EXPECT_FALSE(Form.isVisible());
}

// ---- Single-instance lock ----------------------------------------------------------------------

/// A lock name of this test run only, so that runs side by side never meet.
std::string TestLockName(const char *What) {
  return std::string("Rw8 ZOLCFG test ") + What + " " + std::to_string(::getpid());
}

/// A copy of this test program running one helper below, its standard output on a pipe.
class THelper {
public:
  THelper(const char *Test, const std::string &LockName) {
    int Pipe[2];
    if (::pipe(Pipe) != 0)
      return;
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&Actions, Pipe[0]);
    std::vector<std::string> Env;
    for (char **e = environ; *e != nullptr; ++e)
      Env.emplace_back(*e);
    Env.push_back("ZOL_LOCK_HELPER=" + LockName);
    Env.push_back("QT_QPA_PLATFORM=offscreen");
    std::vector<char *> Envp;
    for (std::string &e : Env)
      Envp.push_back(e.data());
    Envp.push_back(nullptr);
    std::string Exe = "/proc/self/exe";
    std::string Filter = std::string("--gtest_filter=SingleInstanceHelper.") + Test;
    std::string Disabled = "--gtest_also_run_disabled_tests";
    char *Argv[] = {Exe.data(), Filter.data(), Disabled.data(), nullptr};
    if (posix_spawn(&Pid, Exe.c_str(), &Actions, nullptr, Argv, Envp.data()) != 0)
      Pid = -1;
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Pipe[1]);
    Out = Pipe[0];
  }
  ~THelper() {
    if (Pid > 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
    }
    if (Out >= 0)
      ::close(Out);
  }
  /// Reads the helper's output until it holds Marker, at most Ms milliseconds.
  bool WaitFor(const std::string &Marker, int Ms) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (Output.find(Marker) == std::string::npos) {
      const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
          End - std::chrono::steady_clock::now());
      if (Left.count() <= 0)
        return false;
      pollfd P{Out, POLLIN, 0};
      if (::poll(&P, 1, static_cast<int>(Left.count())) <= 0)
        return false;
      char Buffer[256];
      const ssize_t n = ::read(Out, Buffer, sizeof Buffer);
      if (n <= 0)
        return false;
      Output.append(Buffer, static_cast<std::size_t>(n));
    }
    return true;
  }
  /// Waits at most Ms milliseconds for the helper to end; its exit status, or -1.
  int WaitExit(int Ms) {
    const auto End = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    while (std::chrono::steady_clock::now() < End) {
      int Status = 0;
      if (::waitpid(Pid, &Status, WNOHANG) == Pid) {
        Pid = -1;
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
      }
      ::usleep(5000); // polling a child's end: there is nothing to process meanwhile
    }
    return -1;
  }
  void Kill() {
    if (Pid > 0) {
      ::kill(Pid, SIGKILL);
      ::waitpid(Pid, nullptr, 0);
      Pid = -1;
    }
  }
  bool Started() const { return Pid > 0; }

private:
  pid_t Pid = -1;
  int Out = -1;
  std::string Output;
};

/// The lock files of these tests go to a folder of their own, removed afterwards; the helper
/// processes inherit it.
class SingleInstanceTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(Folder.isValid());
    Saved = qgetenv("XDG_RUNTIME_DIR");
    HadSaved = qEnvironmentVariableIsSet("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", Folder.path().toLocal8Bit());
  }
  void TearDown() override {
    if (HadSaved)
      qputenv("XDG_RUNTIME_DIR", Saved);
    else
      qunsetenv("XDG_RUNTIME_DIR");
  }
  /// Files in the lock folder.
  int LockFiles() const { return static_cast<int>(QDir(Folder.path()).entryList(QDir::Files).size()); }

  QTemporaryDir Folder;
  QByteArray Saved;
  bool HadSaved = false;
};

TEST_F(SingleInstanceTest, OneHolderAtATimeAndFreeAfterRelease) {
  const std::string Name = TestLockName("direct");
  TSingleInstance First(Name);
  ASSERT_TRUE(First.Acquired());
  {
    TSingleInstance Second(Name);
    EXPECT_FALSE(Second.Acquired());
  }
  TSingleInstance Other(TestLockName("other"));
  EXPECT_TRUE(Other.Acquired()); // another name is another lock
  First.Release();
  EXPECT_FALSE(First.Acquired());
  TSingleInstance Third(Name);
  EXPECT_TRUE(Third.Acquired());
}

TEST_F(SingleInstanceTest, ALockWithASlashStaysInItsFolder) {
  TSingleInstance Lock(TestLockName("a/b/../c"));
  EXPECT_TRUE(Lock.Acquired());
  EXPECT_EQ(LockFiles(), 1);
}

TEST_F(SingleInstanceTest, KilledHolderFreesTheLock) {
  const std::string Name = TestLockName("killed");
  THelper Holder("DISABLED_HoldLock", Name);
  ASSERT_TRUE(Holder.Started());
  ASSERT_TRUE(Holder.WaitFor("LOCK HELD", 20000));
  {
    TSingleInstance Second(Name);
    EXPECT_FALSE(Second.Acquired());
  }
  Holder.Kill(); // as a crash would end it
  TSingleInstance After(Name);
  EXPECT_TRUE(After.Acquired());
}

TEST_F(SingleInstanceTest, SecondCopyEndsAtOnceWithZero) {
  const std::string Name = TestLockName("second");
  TSingleInstance First(Name);
  ASSERT_TRUE(First.Acquired());
  THelper Second("DISABLED_RunProgram", Name);
  ASSERT_TRUE(Second.Started());
  EXPECT_EQ(Second.WaitExit(20000), 0);
}

// Helpers run by the tests above in a process of their own; they do nothing in a normal run.
TEST(SingleInstanceHelper, DISABLED_HoldLock) {
  const char *Name = std::getenv("ZOL_LOCK_HELPER");
  if (Name == nullptr)
    GTEST_SKIP();
  TSingleInstance Lock(Name);
  if (!Lock.Acquired())
    std::_Exit(3);
  std::printf("LOCK HELD\n");
  std::fflush(stdout);
  // Held until the test kills this process; never longer than a minute.
  ::sleep(60);
  std::_Exit(4);
}

TEST(SingleInstanceHelper, DISABLED_RunProgram) {
  const char *Name = std::getenv("ZOL_LOCK_HELPER");
  if (Name == nullptr)
    GTEST_SKIP();
  SimPlatform Platform(1);
  char Program[] = "zolcfg";
  char *Argv[] = {Program, nullptr};
  int Argc = 1;
  MainForm = nullptr;
  const int Code = RunZOLCFG(Argc, Argv, Platform, Name, QString());
  // A copy that ran would have made windows; this one must have left before.
  std::_Exit(Code == 0 && MainForm == nullptr && QApplication::topLevelWidgets().isEmpty() ? 0
                                                                                           : 1);
}

} // namespace
} // namespace zol::test
