// The set-up journal of the windows on a simulated instrument: a write from the main window
// leaves its record with its verdict and the window "Journal" lists it; the configuration sheet
// is a PDF, and a sheet that cannot be written says so; a journal that cannot be written is said
// in a note while the write goes on.
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QTableWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "WindowsTest.h"
#include "ui_Main.h"
#include "windows/Journal.h"
#include "windows/JournalStore.h"
#include "windows/TZOL.h"
#include "windows/ZOLCFG.h"

namespace zol::test {
namespace {

class TJournalTest : public TMainWindowTest {
protected:
  void TearDown() override {
    TMainWindowTest::TearDown();
    qunsetenv("ZOLCFG_JOURNAL");
  }
  /// Starts the window on one instrument with the journal at Path, kept.
  void StartWithJournal(const QString &Path) {
    qputenv("ZOLCFG_JOURNAL", Path.toLocal8Bit());
    Start(1);
    Form->ZOL->Journal->SetEnabled(true);
    QObject::connect(Form->ZOL->Journal, &TJournalKeeper::Recorded, Form.get(),
                     [this] { ++Recorded; });
    ASSERT_TRUE(WaitUntil([this] { return ui().BtnWR_Filter->isEnabled(); }));
  }
  /// Sends Filter (as the page shows it) and waits for its record to be written.
  void SendFilter(const QString &Filter) {
    const int From = Recorded;
    ui().EdFilter->setMaskedText(Filter);
    Form->BtnWR_FilterClick();
    ASSERT_TRUE(WaitUntil([&] { return Recorded > From; }));
  }
  int Recorded = 0;
};

TEST_F(TJournalTest, AWriteLeavesItsRecordAndTheJournalWindowListsIt) {
  if (!JournalKept())
    GTEST_SKIP() << "this build keeps no journal";
  QTemporaryDir Dir;
  const QString Path = Dir.filePath(QStringLiteral("journal.sqlite"));
  StartWithJournal(Path);
  SendFilter(QStringLiteral("1,0"));
  SendFilter(QStringLiteral("2,0"));

  const TJournalListing Listing =
      ListJournal(Path.toStdString(), Form->ZOL->Snapshot().SerialNumber, 0);
  ASSERT_TRUE(Listing.Problem.empty()) << Listing.Problem;
  ASSERT_EQ(Listing.Records.size(), 2u);
  const TJournalRecord &Last = Listing.Records.front(); // newest first
  EXPECT_EQ(Last.Operation, TJournalOperation::WriteFilter);
  EXPECT_EQ(Last.Verdict, TJournalVerdict::Held) << Last.Message;
  EXPECT_EQ(Last.Program, "zolcfg");
  EXPECT_EQ(Last.Product, Form->ZOL->Snapshot().Product);
  ASSERT_TRUE(Last.Before && Last.After);
  EXPECT_EQ(Last.Before->Filter, 1.0f);
  EXPECT_EQ(Last.After->Filter, 2.0f);

  Form->JournalForm->show();
  QTableWidget *Table = Form->JournalForm->Table;
  ASSERT_TRUE(WaitUntil([&] { return Table->rowCount() == 2; }));
  EXPECT_EQ(Table->item(0, 1)->text(), OperationText(TJournalOperation::WriteFilter));
  EXPECT_EQ(Table->item(0, 2)->text(), VerdictText(TJournalVerdict::Held));
  EXPECT_TRUE(Table->item(0, 3)->text().contains(QStringLiteral("1.0 → 2.0 s")))
      << Table->item(0, 3)->text().toStdString();
  EXPECT_TRUE(Form->JournalForm->CsvText().contains(",write-filter,held,"));
}

TEST_F(TJournalTest, TheSheetIsAPdfAndASheetNotWrittenSaysSo) {
  QTemporaryDir Dir;
  StartWithJournal(Dir.filePath(QStringLiteral("journal.sqlite")));
  if (JournalKept())
    SendFilter(QStringLiteral("2,0"));
  TJournalForm &Journal = *Form->JournalForm;
  const QString Sheet = Dir.filePath(QStringLiteral("sheet.pdf"));
  Journal.MakeSheet(Sheet);
  ASSERT_TRUE(WaitUntil([&] { return QFile::exists(Sheet); }));
  QFile File(Sheet);
  ASSERT_TRUE(File.open(QIODevice::ReadOnly));
  const QByteArray Pdf = File.readAll();
  EXPECT_TRUE(Pdf.startsWith("%PDF")) << Pdf.left(16).toStdString();
  EXPECT_GT(Pdf.size(), 2000);

  QString Message;
  TModalWatcher Watcher([&](QWidget *Modal) {
    Message = TakeMessageBox(Modal, QMessageBox::Ok);
    return !Message.isEmpty();
  });
  Journal.MakeSheet(Dir.path()); // a folder is not replaced
  ASSERT_TRUE(WaitUntil([&] { return !Message.isEmpty(); }));
  EXPECT_TRUE(Message.contains(Dir.path())) << Message.toStdString();
}

TEST_F(TJournalTest, AJournalThatCannotBeWrittenIsSaidOnceAndTheWriteGoesOn) {
  if (!JournalKept())
    GTEST_SKIP() << "this build keeps no journal";
  QTemporaryDir Dir;
  const QString Blocker = Dir.filePath(QStringLiteral("file"));
  QFile File(Blocker);
  ASSERT_TRUE(File.open(QIODevice::WriteOnly));
  File.close();
  StartWithJournal(Blocker + QStringLiteral("/journal.sqlite")); // its parent is a regular file
  SendFilter(QStringLiteral("2,0"));
  SendFilter(QStringLiteral("3,0"));
  const auto Notes = [] {
    int Count = 0;
    for (QWidget *Window : QApplication::topLevelWidgets())
      if (qobject_cast<QMessageBox *>(Window) != nullptr && Window->isVisible())
        ++Count;
    return Count;
  };
  ASSERT_TRUE(WaitUntil([&] { return Notes() > 0; }));
  EXPECT_EQ(Notes(), 1);                                 // once per problem
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr); // the window goes on
  EXPECT_TRUE(Form->ZOL->Journal->LastNote.contains(QStringLiteral("journal")));
  EXPECT_EQ(Form->ZOL->Snapshot().Settings.Filter, 3.0f); // the instrument holds it all the same
  for (QWidget *Window : QApplication::topLevelWidgets())
    if (qobject_cast<QMessageBox *>(Window) != nullptr)
      Window->close();
}

TEST(TJournalRequest, OffByTheCommandLineOrTheEnvironment) {
  char Program[] = "zolcfg", NoJournal[] = "--no-journal";
  char *Plain[] = {Program, nullptr};
  char *Off[] = {Program, NoJournal, nullptr};
  const struct {
    const char *Environment; // ZOLCFG_NO_JOURNAL, unset when null
    char **Argv;
    int Argc;
    bool Kept;
  } Rows[] = {{nullptr, Plain, 1, true},
              {nullptr, Off, 2, false},
              {"1", Plain, 1, false},
              {"0", Plain, 1, true},
              {"", Plain, 1, true}};
  for (const auto &Row : Rows) {
    if (Row.Environment == nullptr)
      qunsetenv("ZOLCFG_NO_JOURNAL");
    else
      qputenv("ZOLCFG_NO_JOURNAL", Row.Environment);
    EXPECT_EQ(JournalRequested(Row.Argc, Row.Argv), Row.Kept)
        << (Row.Environment ? Row.Environment : "unset") << " " << Row.Argc;
  }
  qunsetenv("ZOLCFG_NO_JOURNAL");
}

} // namespace
} // namespace zol::test
