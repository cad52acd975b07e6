// The device component's Qt face: every event on the user-interface thread, in the order raised,
// with the model as it was when raised; the parameter-file dialogs; shutdown while chains run.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "WindowsTest.h"
#include "protocol/ParamFile.h"
#include "windows/TZOL.h"

namespace zol::test {
namespace {

/// One delivered signal: its name, the thread it ran on, and the snapshot it carried.
struct TDelivered {
  QString Name;
  bool OnUiThread = false;
  TZOLModel Snapshot;
};

class TZOLTest : public ::testing::Test {
protected:
  void SetUp() override {
    TVirtualRW8Options Options;
    Options.ReportPeriodMs = 2;
    Platform = std::make_unique<SimPlatform>(1, Options);
    ZOL = std::make_unique<TZOL>(*Platform);
    auto Record = [this](const char *Name) {
      return [this, Name](const TZOLModel &Snapshot) {
        Delivered.push_back({QString::fromLatin1(Name),
                             QThread::currentThread() == QCoreApplication::instance()->thread(),
                             Snapshot});
      };
    };
    QObject::connect(ZOL.get(), &TZOL::Connected, Record("Connected"));
    QObject::connect(ZOL.get(), &TZOL::Disconnected, Record("Disconnected"));
    QObject::connect(ZOL.get(), &TZOL::StateUpdated, Record("StateUpdated"));
    QObject::connect(ZOL.get(), &TZOL::ErrorAnswered, Record("ErrorAnswered"));
    QObject::connect(ZOL.get(), &TZOL::DeviceUnlocked, Record("DeviceUnlocked"));
    QObject::connect(ZOL.get(), &TZOL::Alarm1Updated, Record("Alarm1Updated"));
    QObject::connect(ZOL.get(), &TZOL::Alarm2Updated, Record("Alarm2Updated"));
    QObject::connect(ZOL.get(), &TZOL::FilterUpdated, Record("FilterUpdated"));
    QObject::connect(ZOL.get(), &TZOL::TagUpdated, Record("TagUpdated"));
    QObject::connect(ZOL.get(), &TZOL::InfoUpdated, Record("InfoUpdated"));
    QObject::connect(ZOL.get(), &TZOL::AllRead, Record("AllRead"));
    QObject::connect(ZOL.get(), &TZOL::AllWritten, Record("AllWritten"));
    QObject::connect(ZOL.get(), &TZOL::CryptedPasswordReceived, Record("CryptedPasswordReceived"));
    QObject::connect(ZOL.get(), &TZOL::WROPUpdated,
                     [this](TWROP Record) { Records.push_back(Record); });
    QObject::connect(ZOL.get(), &TZOL::ChainFailed,
                     [this](const QString &Message) { Failures.push_back(Message); });
  }
  void TearDown() override {
    ZOL.reset();
    Platform.reset();
  }

  /// Names delivered, state updates left out.
  QStringList Names() const {
    QStringList List;
    for (const auto &d : Delivered)
      if (d.Name != QLatin1String("StateUpdated"))
        List << d.Name;
    return List;
  }
  const TDelivered *Find(const char *Name) const {
    for (const auto &d : Delivered)
      if (d.Name == QLatin1String(Name))
        return &d;
    return nullptr;
  }
  void Connect() {
    ASSERT_EQ(ZOL->Scan(), 1);
    ASSERT_TRUE(ZOL->Open(0));
    ASSERT_TRUE(WaitUntil([this] { return Find("TagUpdated") && Find("StateUpdated"); }));
  }
  /// Waits on the worker's side only, without processing events: the queued signals stay queued.
  bool WaitWithoutEvents(const std::function<bool()> &Condition) {
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!Condition()) {
      if (std::chrono::steady_clock::now() > Deadline)
        return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  std::unique_ptr<SimPlatform> Platform;
  std::unique_ptr<TZOL> ZOL;
  std::vector<TDelivered> Delivered;
  std::vector<TWROP> Records;
  QStringList Failures;
};

TEST_F(TZOLTest, ConnectionEventsArriveOnTheUiThreadInOrder) {
  Connect();
  const QStringList List = Names();
  ASSERT_GE(List.size(), 2);
  EXPECT_EQ(List[0], QStringLiteral("Connected"));
  EXPECT_EQ(List[1], QStringLiteral("TagUpdated"));
  for (const auto &d : Delivered)
    EXPECT_TRUE(d.OnUiThread) << d.Name.toStdString();
  const TDelivered *Connected = Find("Connected");
  EXPECT_EQ(Connected->Snapshot.Manufacturer, "KOVA");
  EXPECT_EQ(Connected->Snapshot.SerialNumber, Platform->Instrument(0)->SerialNumber());
  EXPECT_EQ(Find("TagUpdated")->Snapshot.Settings.Tag.Get(),
            Platform->Instrument(0)->Snapshot().Settings.Tag);
}

TEST_F(TZOLTest, EachSignalCarriesTheModelAsItWasWhenRaised) {
  Connect();
  Delivered.clear();
  ZOL->ReadAll();
  // The chain runs to its end while the user-interface thread is busy: the worker never waits.
  ASSERT_TRUE(WaitWithoutEvents([this] {
    return Platform->Instrument(0)->Snapshot().CommandCount(CodeOf(TCommand::ReadAlarm2)) > 0 &&
           !ZOL->Snapshot().ReadingAll;
  }));
  EXPECT_TRUE(Delivered.empty());
  ASSERT_TRUE(WaitUntil([this] { return Find("AllRead") != nullptr; }));
  const QStringList Expected = {QStringLiteral("TagUpdated"), QStringLiteral("FilterUpdated"),
                                QStringLiteral("Alarm1Updated"), QStringLiteral("Alarm2Updated"),
                                QStringLiteral("AllRead")};
  // An answer the instrument repeats before the next command reaches it raises its event once
  // more (a slow host sees such repeats): the order is what is checked.
  QStringList Order = Names();
  Order.erase(std::unique(Order.begin(), Order.end()), Order.end());
  EXPECT_EQ(Order.mid(0, 5), Expected);
  // Raised inside the chain: the flag was still set then, though it is clear now.
  for (const char *Name : {"TagUpdated", "FilterUpdated", "Alarm1Updated"})
    EXPECT_TRUE(Find(Name)->Snapshot.ReadingAll) << Name;
  EXPECT_FALSE(ZOL->Snapshot().ReadingAll);
}

TEST_F(TZOLTest, StatesKeepTheirPlaceAroundOtherEvents) {
  Connect();
  const auto Instrument = Platform->Instrument(0);
  const auto Count = [&](TCommand Code) {
    return Instrument->Snapshot().CommandCount(CodeOf(Code));
  };
  // Raised while the user-interface thread is busy: states at 11 °C, a tag update, states at 33.
  const auto StatesAt = [&](float Celsius) {
    Instrument->SetTemperature(Celsius);
    ASSERT_TRUE(WaitWithoutEvents([&] { return ZOL->Snapshot().Measure == Celsius; }));
    const auto Sent = Instrument->Snapshot().ReportsSent;
    ASSERT_TRUE(WaitWithoutEvents([&] { return Instrument->Snapshot().ReportsSent > Sent + 5; }));
  };
  StatesAt(11.0f);
  const auto Tags = Count(TCommand::ReadTag2);
  const auto States = Count(TCommand::ReadState); // asked for again once the tag event is raised
  ZOL->ReadTag();
  ASSERT_TRUE(WaitWithoutEvents(
      [&] { return Count(TCommand::ReadTag2) > Tags && Count(TCommand::ReadState) > States; }));
  StatesAt(33.0f);
  Delivered.clear();
  ASSERT_TRUE(WaitUntil([this] {
    return !Delivered.empty() && Delivered.back().Name == QLatin1String("StateUpdated") &&
           Delivered.back().Snapshot.Measure == 33.0f;
  }));
  QStringList Seen;
  for (const auto &d : Delivered)
    Seen << (d.Name == QLatin1String("StateUpdated") ? QString::number(d.Snapshot.Measure)
                                                     : d.Name);
  // The latest state before the tag update comes right before it; the ones after, after it.
  const qsizetype Tag = Seen.indexOf(QStringLiteral("TagUpdated"));
  ASSERT_GE(Tag, 1) << Seen.join(QLatin1Char(' ')).toStdString();
  EXPECT_EQ(Seen[Tag - 1], QStringLiteral("11")) << Seen.join(QLatin1Char(' ')).toStdString();
  EXPECT_FALSE(Seen.mid(0, Tag).contains(QStringLiteral("33")))
      << Seen.join(QLatin1Char(' ')).toStdString();
}

TEST_F(TZOLTest, HistoryRecordsAndErrorsAreDelivered) {
  Connect();
  ZOL->WriteFilter(1.5f); // one write recorded by the instrument
  ASSERT_TRUE(WaitUntil([this] { return Find("FilterUpdated") != nullptr; }));
  ZOL->ReadWROP(0);
  ASSERT_TRUE(WaitUntil([this] { return !Records.empty(); }));
  EXPECT_EQ(Records.front().SlotMask, 0xFF);
  EXPECT_EQ(Records.front().OpCode, CodeOf(TCommand::SendFilter));
  Platform->Instrument(0)->SetErrorAnswers(true);
  ZOL->ReadInfo();
  ASSERT_TRUE(WaitUntil([this] { return Find("ErrorAnswered") != nullptr; }));
}

TEST_F(TZOLTest, AClockBefore2000StopsTheConnectionChainAndIsReported) {
  ZOL->Clock = [] { return TCivilDateTime{1999, 12, 31, 23, 59, 0, 0}; };
  ASSERT_EQ(ZOL->Scan(), 1);
  ASSERT_TRUE(ZOL->Open(0));
  ASSERT_TRUE(WaitUntil([this] { return !Failures.isEmpty(); }));
  EXPECT_TRUE(Failures.front().contains(QStringLiteral("1999"))) << Failures.front().toStdString();
  EXPECT_TRUE(Find("Connected") != nullptr);
  // The worker goes on: an operation after the failure is answered.
  ZOL->ReadFilter();
  ASSERT_TRUE(WaitUntil([this] { return Find("FilterUpdated") != nullptr; }));
}

TEST_F(TZOLTest, ClosingWhileChainsRunDoesNotHang) {
  Connect();
  for (int i = 0; i < 5; ++i) {
    ZOL->ReadAll();
    ZOL->WriteAll();
  }
  // Signals are still queued; the component goes without waiting for them.
  ZOL.reset();
  QCoreApplication::processEvents();
  SUCCEED();
}

// ---- Parameter-file dialogs ----

class TParamDialogTest : public TZOLTest {
protected:
  QTemporaryDir Folder;
  QString SavedCurrent;
  void SetUp() override {
    TZOLTest::SetUp();
    SavedCurrent = QDir::currentPath();
    QDir::setCurrent(Folder.path());
  }
  void TearDown() override {
    QDir::setCurrent(SavedCurrent);
    TZOLTest::TearDown();
  }
};

TEST_F(TParamDialogTest, SaveDialogProposesTheTagAndAddsTheExtension) {
  Connect();
  QString Title, Proposed, Suffix, Directory;
  QStringList Filters;
  bool ConfirmsOverwrite = false;
  TModalWatcher Watcher([&](QWidget *Modal) {
    auto *Dialog = qobject_cast<QFileDialog *>(Modal);
    if (Dialog == nullptr)
      return false;
    Title = Dialog->windowTitle();
    Filters = Dialog->nameFilters();
    Suffix = Dialog->defaultSuffix();
    Directory = Dialog->directory().absolutePath();
    ConfirmsOverwrite = !Dialog->testOption(QFileDialog::DontConfirmOverwrite);
    const QStringList Selected = Dialog->selectedFiles();
    Proposed = Selected.isEmpty() ? QString() : QFileInfo(Selected.first()).fileName();
    static_cast<QDialog *>(Dialog)->accept();
    return true;
  });
  const std::string Tag = ZOL->Snapshot().Settings.Tag.Get();
  ASSERT_TRUE(ZOL->SaveParametersDialog(nullptr));
  EXPECT_EQ(Title, QStringLiteral("sauve un fichier paramètres"));
  EXPECT_EQ(Filters, (QStringList{QStringLiteral("Fichiers paramètres (*.ZOL)"),
                                  QStringLiteral("Tous les fichiers (*.*)")}));
  EXPECT_EQ(Suffix, QStringLiteral("ZOL"));
  EXPECT_EQ(QDir(Directory), QDir(Folder.path()));
  EXPECT_TRUE(ConfirmsOverwrite);
  const QString Name = QString::fromLatin1(Tag.c_str()).trimmed();
  EXPECT_EQ(Proposed, Name + QStringLiteral(".ZOL"));
  QFile Saved(Folder.filePath(Name + QStringLiteral(".ZOL")));
  ASSERT_TRUE(Saved.exists());
  EXPECT_EQ(Saved.size(), kParamFileLength);
}

TEST_F(TParamDialogTest, LoadRefusesAForeignFileWithAnInformationBox) {
  QFile Foreign(Folder.filePath(QStringLiteral("short.ZOL")));
  ASSERT_TRUE(Foreign.open(QIODevice::WriteOnly));
  Foreign.write(QByteArray(kParamFileId, kParamFileIdLength) + QByteArray(71, '\0')); // 87 bytes
  Foreign.close();
  QString Title, Message;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  TModalWatcher Watcher([&](QWidget *Modal) {
    if (auto *Dialog = qobject_cast<QFileDialog *>(Modal)) {
      Title = Dialog->windowTitle();
      ChooseFile(Dialog, Foreign.fileName());
      return true;
    }
    if (auto *Box = qobject_cast<QMessageBox *>(Modal)) {
      Icon = Box->icon();
      Message = TakeMessageBox(Modal, QMessageBox::Ok);
      return true;
    }
    return false;
  });
  const TZOLSettings Before = ZOL->Snapshot().Settings;
  EXPECT_FALSE(ZOL->LoadParametersDialog(nullptr));
  EXPECT_EQ(Title, QStringLiteral("Charge un fichier paramètres"));
  EXPECT_EQ(Message, QStringLiteral("  Fichier incorrect !  "));
  EXPECT_EQ(Icon, QMessageBox::Information);
  EXPECT_EQ(ZOL->Snapshot().Settings.Tag.Get(), Before.Tag.Get());
}

TEST_F(TParamDialogTest, AFileThatCannotBeWrittenShowsTheSystemsReason) {
  // A folder where the file should go: it cannot be replaced by a file.
  ASSERT_TRUE(QDir(Folder.path()).mkdir(QStringLiteral("taken.ZOL")));
  QString Message;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  TModalWatcher Watcher([&](QWidget *Modal) {
    if (auto *Dialog = qobject_cast<QFileDialog *>(Modal)) {
      // Past the dialog's own checks: the name is typed, then the dialog accepted by hand.
      Dialog->setOption(QFileDialog::DontConfirmOverwrite);
      Dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))
          ->setText(Folder.filePath(QStringLiteral("taken.ZOL")));
      static_cast<QDialog *>(Dialog)->done(QDialog::Accepted);
      return true;
    }
    if (auto *Box = qobject_cast<QMessageBox *>(Modal)) {
      Icon = Box->icon();
      Message = TakeMessageBox(Modal, QMessageBox::Ok);
      return true;
    }
    return false;
  });
  EXPECT_FALSE(ZOL->SaveParametersDialog(nullptr));
  EXPECT_EQ(Icon, QMessageBox::Critical);
  EXPECT_FALSE(Message.isEmpty());
  EXPECT_TRUE(QFileInfo(Folder.filePath(QStringLiteral("taken.ZOL"))).isDir());
}

TEST_F(TParamDialogTest, CancellingEitherDialogChangesNothing) {
  TModalWatcher Watcher([&](QWidget *Modal) {
    if (auto *Dialog = qobject_cast<QFileDialog *>(Modal)) {
      Dialog->reject();
      return true;
    }
    return false;
  });
  EXPECT_FALSE(ZOL->LoadParametersDialog(nullptr));
  EXPECT_FALSE(ZOL->SaveParametersDialog(nullptr));
  EXPECT_EQ(Watcher.Handled(), 2);
  EXPECT_TRUE(QDir(Folder.path()).entryList(QDir::Files).isEmpty());
}

} // namespace
} // namespace zol::test
