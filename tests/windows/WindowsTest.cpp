#include "WindowsTest.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>

#include "ui_Main.h"
#include "windows/About.h"
#include "windows/BackTrace.h"
#include "windows/Error.h"
#include "windows/Pass.h"
#include "windows/Select.h"

namespace zol::test {

bool WaitUntil(const std::function<bool()> &Condition, int Ms) {
  return QTest::qWaitFor(Condition, Ms);
}

TModalWatcher::TModalWatcher(std::function<bool(QWidget *Modal)> Handler)
    : FHandler(std::move(Handler)) {
  FTimer.setInterval(10);
  QObject::connect(&FTimer, &QTimer::timeout, [this] {
    QWidget *Modal = QApplication::activeModalWidget();
    if (Modal != nullptr && Modal->isVisible() && FHandler(Modal))
      ++FHandled;
  });
  FTimer.start();
}

TModalWatcher::~TModalWatcher() {
  FTimer.stop();
}

void ChooseFile(QFileDialog *Dialog, const QString &Path) {
  if (auto *Name = Dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
    Name->setText(Path);
  else
    Dialog->selectFile(Path);
  static_cast<QDialog *>(Dialog)->accept();
}

QString TakeMessageBox(QWidget *Modal, int Button) {
  auto *Box = qobject_cast<QMessageBox *>(Modal);
  if (Box == nullptr)
    return {};
  const QString Text = Box->text();
  // Clicked, as the user would: the static questions read the button clicked, not the result.
  if (QAbstractButton *Pressed = Box->button(QMessageBox::StandardButton(Button)))
    Pressed->click();
  else
    Box->done(Button);
  return Text;
}

void TMainWindowTest::Create(int Count) {
  TVirtualRW8Options Options;
  Options.ReportPeriodMs = 2;
  Platform = std::make_unique<SimPlatform>(Count, Options);
  Form = std::make_unique<TMainForm>(*Platform);
  MainForm = Form.get();
  // The dialogs, in the order the program creates them after the main window.
  AboutBox = new TAboutBox();
  SelectForm = new TSelectForm();
  PassForm = new TPassForm(Form->ZOL);
  BackTraceForm = new TBackTraceForm(Form->ZOL);
  ErrorForm = new TErrorForm();
  QObject::connect(Form->ZOL, &TZOL::StateUpdated, Form.get(), [this] { ++StateUpdates; });
}

void TMainWindowTest::Start(int Count) {
  Create(Count);
  Form->show();
  if (Count > 0) {
    ASSERT_TRUE(WaitUntil([this] { return Form->DevicePresent; }));
    ASSERT_TRUE(WaitUntil([this] { return StateUpdates > 0; }));
  }
}

void TMainWindowTest::TearDown() {
  if (Form)
    Form->ZOL->Close();
  delete ErrorForm;
  ErrorForm = nullptr;
  delete BackTraceForm;
  BackTraceForm = nullptr;
  delete PassForm;
  PassForm = nullptr;
  delete SelectForm;
  SelectForm = nullptr;
  delete AboutBox;
  AboutBox = nullptr;
  Form.reset();
  MainForm = nullptr;
  Platform.reset();
}

std::shared_ptr<VirtualRW8> TMainWindowTest::Instrument(int i) const {
  return Platform->Instrument(i);
}

void TMainWindowTest::Settle() {
  const int From = StateUpdates;
  ASSERT_TRUE(WaitUntil([&] { return StateUpdates >= From + 3; }));
}

} // namespace zol::test
