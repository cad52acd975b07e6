// The language in force follows the user's environment: run with LANGUAGE=en (English) and with
// LANGUAGE=fr or no language at all (French); ZOL_EXPECT_LANGUAGE says which one the run expects.
#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFont>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QStyleFactory>
#include <QTableWidget>
#include <QTest>

#include <cmath>
#include <map>

#include "WindowsTest.h"
#include "tests/support/TestFonts.h"
#include "ui_Main.h"
#include "windows/BackTrace.h"
#include "windows/Journal.h"
#include "windows/Language.h"

namespace zol::test {
namespace {

bool LoadedQtTranslations = false;

bool ExpectEnglish() {
  return qEnvironmentVariable("ZOL_EXPECT_LANGUAGE") == QStringLiteral("en");
}
QString Expected(const char *French, const char *English) {
  return QString::fromUtf8(ExpectEnglish() ? English : French);
}

class TLanguage : public TMainWindowTest {};

TEST_F(TLanguage, FollowsTheEnvironment) {
  EXPECT_EQ(InEnglish(), ExpectEnglish());
  EXPECT_TRUE(LoadedQtTranslations) << "qtbase_fr.qm (qt6-translations-l10n) is missing";
}

TEST_F(TLanguage, CaptionsTitlesAndPagesInTheLanguageInForce) {
  Start(1);
  QTest::qWait(20);
  EXPECT_EQ(ui().LabelLangue7->text(),
            Expected("Présence de l'appareil USB", "USB Device connected"));
  EXPECT_EQ(Form->windowTitle(), Expected("Configurateur ZOLCFG RW8", "ZOLCFG RW8 configurator"));
  EXPECT_EQ(ui().TabAL1->tabText(1), Expected("Mesure", "Measure"));
  EXPECT_EQ(ui().CkDix->text(), Expected("Dixièmes", "Tenths"));
  BackTraceForm->show();
  QTest::qWait(20);
  EXPECT_EQ(BackTraceForm->windowTitle(),
            Expected("Liste des 8 dernières opérations", "The last 8 operations"));
  BackTraceForm->hide();
  Form->JournalForm->show();
  QTest::qWait(20);
  EXPECT_EQ(Form->JournalForm->Table->horizontalHeaderItem(3)->text(),
            Expected("Ce qui a changé", "What changed"));
  EXPECT_EQ(Form->JournalForm->BtnSheet->text(),
            Expected("Fiche de configuration (PDF)", "Configuration sheet (PDF)"));
  Form->JournalForm->hide();
  // A dialog another window opens: the parameter file's.
  QString Title, Filter;
  TModalWatcher Files([&](QWidget *Modal) {
    auto *Dialog = qobject_cast<QFileDialog *>(Modal);
    if (Dialog == nullptr)
      return false;
    QTest::qWait(20);
    Title = Dialog->windowTitle();
    Filter = Dialog->nameFilters().value(0);
    Dialog->reject();
    return true;
  });
  Form->ZOL->LoadParametersDialog(Form.get());
  EXPECT_EQ(Title, Expected("Charge un fichier paramètres", "Load a parameter file"));
  EXPECT_EQ(Filter, Expected("Fichiers paramètres (*.ZOL)", "Parameter files (*.ZOL)"));
}

TEST_F(TLanguage, QtStandardDialogsInTheSameLanguage) {
  QMessageBox Box(QMessageBox::Question, QString(), QStringLiteral("?"),
                  QMessageBox::Yes | QMessageBox::No);
  Box.show();
  EXPECT_EQ(Box.button(QMessageBox::Yes)->text().remove(QLatin1Char('&')), Expected("Oui", "Yes"));
  EXPECT_EQ(Box.button(QMessageBox::No)->text().remove(QLatin1Char('&')), Expected("Non", "No"));
  QFileDialog Files;
  Files.setOption(QFileDialog::DontUseNativeDialog);
  Files.show();
  auto *Buttons = Files.findChild<QDialogButtonBox *>();
  ASSERT_NE(Buttons, nullptr);
  EXPECT_EQ(Buttons->button(QDialogButtonBox::Cancel)->text().remove(QLatin1Char('&')),
            Expected("Annuler", "Cancel"));
}

TEST_F(TLanguage, CoreMessagesInTheLanguageInForce) {
  Create(1);
  TZOLAlarm Alarm;
  Alarm.SetPoint = std::nanf("");
  QString Message;
  try {
    Form->ZOL->WriteAlarm1(Alarm);
  } catch (const ERangeError &Error) {
    Message = Worded(Error.Error());
  }
  EXPECT_TRUE(Message.contains(Expected("ne peut pas être envoyée : ce n'est pas un nombre",
                                        "cannot be sent: it is not a number")))
      << Message.toStdString();
  TError Write;
  Write.Code = TErrorCode::CannotWrite;
  Write.Text = "/x/T.ZOL";
  Write.System.Reason = TSystemReason::PermissionDenied;
  EXPECT_EQ(Worded(Write), Expected("Impossible d'écrire /x/T.ZOL : permission refusée",
                                    "Cannot write /x/T.ZOL: Permission denied"));
}

TEST_F(TLanguage, EveryErrorOfTheCoreIsWordedInBothLanguagesWithItsValues) {
  const TUiLanguage InForce = UiLanguage();
  std::map<TUiLanguage, QStringList> Said;
  for (const TUiLanguage Language : {TUiLanguage::French, TUiLanguage::English}) {
    SetUiLanguage(Language);
    for (const TErrorCode Code : kErrorCodes) {
      TError Error;
      Error.Code = Code;
      Error.Quantity = TQuantity::Hysteresis;
      Error.Alarm = 2;
      Error.Value = 4321.5;
      Error.Number = 193;
      Error.Text = "/x/T.ZOL";
      Error.System.Reason = TSystemReason::HardLinks;
      Error.System.Count = 3;
      const QString Text = Worded(Error);
      SCOPED_TRACE(Text.toStdString());
      const bool NamesValue = Code == TErrorCode::NotANumber || Code == TErrorCode::OutOfRange;
      const bool NamesRecord =
          Code >= TErrorCode::HistoryIndexOutOfRange && Code <= TErrorCode::HistoryNoAnswer;
      const bool NamesText = !NamesValue && !NamesRecord &&
                             Code != TErrorCode::WriteAllInterrupted &&
                             Code != TErrorCode::ReadAllInterrupted;
      EXPECT_EQ(Text.contains(QStringLiteral("4321")) && Text.contains(QStringLiteral("2")),
                NamesValue);
      EXPECT_EQ(Text.contains(QStringLiteral("193")), NamesRecord);
      EXPECT_EQ(Text.contains(QStringLiteral("/x/T.ZOL")), NamesText);
      if (Code == TErrorCode::CannotRead || Code == TErrorCode::CannotWrite) {
        EXPECT_TRUE(Text.contains(QStringLiteral(" 3 ")));
      }
      EXPECT_FALSE(Said[Language].contains(Text)) << "two codes worded alike";
      Said[Language] << Text;
    }
    for (const TSystemReason Reason : kSystemReasons) {
      TSystemError Error;
      Error.Reason = Reason;
      Error.Text = "the system's words";
      const QString Text = Worded(Error);
      EXPECT_FALSE(Text.isEmpty());
      EXPECT_FALSE(Said[Language].contains(Text)) << Text.toStdString();
      Said[Language] << Text;
    }
  }
  SetUiLanguage(InForce);
  for (qsizetype i = 0; i < Said[TUiLanguage::French].size(); ++i) {
    if (Said[TUiLanguage::French][i] != QStringLiteral("the system's words")) {
      EXPECT_NE(Said[TUiLanguage::French][i], Said[TUiLanguage::English][i]);
    }
  }
}

} // namespace
} // namespace zol::test

int main(int argc, char **argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  zol::test::UseTestFonts();
  QApplication App(argc, argv);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 9));
  zol::test::LoadedQtTranslations = zol::InstallLanguage(App);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
