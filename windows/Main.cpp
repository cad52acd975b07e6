#include "windows/Main.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QShowEvent>
#include <QTabBar>
#include <QTimer>

#include <cmath>
#include <limits>

#include "controls/UpperCaseValidator.h"
#include "protocol/Utils.h"
#include "ui_Main.h"
#include "windows/About.h"
#include "windows/BackTrace.h"
#include "windows/Journal.h"
#include "windows/Language.h"
#include "windows/Look.h"
#include "windows/Pass.h"
#include "windows/Select.h"
#include "windows/Trend.h"

namespace zol {

TMainForm *MainForm = nullptr;

namespace {

QPixmap Picture(const char *Name) {
  return QPixmap(QStringLiteral(":/pictures/windows/") + QLatin1String(Name) +
                 QStringLiteral(".xpm"));
}

/// The picture for the enabled state, and a second one for the disabled state.
QIcon Glyph(const char *Enabled, const char *Disabled = nullptr) {
  QIcon Icon;
  Icon.addPixmap(Picture(Enabled), QIcon::Normal);
  if (Disabled != nullptr)
    Icon.addPixmap(Picture(Disabled), QIcon::Disabled);
  return Icon;
}

/// Asks Question with "Oui" and "Non", "Non" the default: Enter alone does not say yes to a
/// destructive operation. Whether the user said yes.
bool ConfirmDefaultNo(QWidget *Parent, const QString &Question) {
  return QMessageBox::question(Parent, QString(), Question, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}

QString FromLatin1(const std::string &Text) {
  return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}

} // namespace

void ShowErrorMessage(QWidget *Parent, const QString &Message) {
  QMessageBox::critical(Parent, Tr("Erreur", "Error"), Message);
}

void ShowRangeErrors(QWidget *Parent, const std::function<void()> &Operation) {
  try {
    Operation();
  } catch (const ERangeError &Error) {
    ShowErrorMessage(Parent, Worded(Error.Error()));
  }
}

int RoundHalfEvenToInt(double Value) {
  if (std::isnan(Value))
    return std::numeric_limits<int>::max();
  const double Rounded = RoundHalfEven(Value);
  if (Rounded >= static_cast<double>(std::numeric_limits<int>::max()))
    return std::numeric_limits<int>::max();
  if (Rounded <= static_cast<double>(std::numeric_limits<int>::min()))
    return std::numeric_limits<int>::min();
  return static_cast<int>(Rounded);
}

TMainForm::TMainForm(HidPlatform &Platform, QWidget *Parent)
    : QWidget(Parent), ui(std::make_unique<Ui::TMainForm>()) {
  if (MainForm == nullptr)
    MainForm = this;
  ui->setupUi(this);
  FormLoaded(this);
  // Fixed single border, system menu only.
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFixedSize(274, 470);
  if (const QScreen *Screen = QGuiApplication::primaryScreen())
    move(Screen->availableGeometry().center() - rect().center());
  ApplyFonts();
  ApplyPictures();
  // The tag as the instrument keeps it: letters forced to upper case as they are typed, and only
  // the characters its packed text carries; any other typed or pasted
  // character is left out rather than changed into another one by the instrument.
  ui->EdTag->setValidator(
      new TUpperCaseValidator(kFirstPackableChar, kLastPackableChar, ui->EdTag));

  PopupMenu = new QMenu(this);
  Envoyer1 = PopupMenu->addAction(Tr("Envoyer", "Send"));
  Relire1 = PopupMenu->addAction(Tr("Relire", "Read back"));
  PopupMenu->setDefaultAction(Envoyer1);
  for (TBitBtnAlt *Button : {ui->BtnWR_TAG, ui->BtnWR_Filter, ui->BtnWR_Alr1, ui->BtnWR_Alr2})
    Button->setPopupMenu(PopupMenu);

  ChooseInstrument = [](const QStringList &Lines) {
    if (SelectForm == nullptr)
      return -1;
    SelectForm->SetItems(Lines, 0);
    SelectForm->exec();
    // The line selected however the dialog was closed, "OK" or its close box.
    return SelectForm->ItemIndex();
  };

  ZOL = new TZOL(Platform, this);
  connect(ZOL, &TZOL::Connected, this, &TMainForm::ZOLConnect);
  connect(ZOL, &TZOL::Disconnected, this, &TMainForm::ZOLDisconnect);
  connect(ZOL, &TZOL::StateUpdated, this, &TMainForm::ZOLUpdateState);
  connect(ZOL, &TZOL::ErrorAnswered, this, &TMainForm::ZOLError);
  connect(ZOL, &TZOL::DeviceUnlocked, this, &TMainForm::ZOLUnlockDevice);
  connect(ZOL, &TZOL::Alarm1Updated, this, &TMainForm::ZOLUpdateAlarm1);
  connect(ZOL, &TZOL::Alarm2Updated, this, &TMainForm::ZOLUpdateAlarm2);
  connect(ZOL, &TZOL::FilterUpdated, this, &TMainForm::ZOLUpdateFilter);
  connect(ZOL, &TZOL::TagUpdated, this, &TMainForm::ZOLUpdateTag);
  connect(ZOL, &TZOL::InfoUpdated, this, &TMainForm::ZOLUpdateInfo);
  connect(ZOL, &TZOL::AllRead, this, [this](const TZOLModel &Snapshot) {
    ShowRangeErrors(this, [&] { ZOLReadAll(Snapshot); });
  });
  connect(ZOL, &TZOL::CryptedPasswordReceived, this, &TMainForm::ZOLGetCryptedPassword);
  connect(ZOL, &TZOL::WROPUpdated, this, &TMainForm::ZOLUpdateWROP);
  connect(ZOL, &TZOL::ChainFailed, this, &TMainForm::ZOLChainFailed);
  // OnWriteAll has no handler in this window.
  TrendForm = InstallTrend(*ZOL, ui->TabMesure, this);
  JournalForm = InstallJournal(*ZOL, *ZOL->Journal, ui->TabMesure, this);
  // Over this window: a note left open does not keep the program running once it closes.
  ZOL->Journal->ShowNote = [this](const QString &Note) { ShowJournalNote(this, Note); };
  WatchArrivals();

  Wire(ui->BtnQuit, &QPushButton::clicked, &TMainForm::BtnQuitClick);
  Wire(ui->BtnScan, &QPushButton::clicked, &TMainForm::BtnScanClick);
  Wire(ui->BtnWR_TAG, &QPushButton::clicked, &TMainForm::BtnWR_TAGClick);
  Wire(ui->BtnWR_TAG, &TBitBtnAlt::AltClick, &TMainForm::BtnWR_TAGAltClick);
  Wire(ui->BtnWR_Filter, &QPushButton::clicked, &TMainForm::BtnWR_FilterClick);
  Wire(ui->BtnWR_Filter, &TBitBtnAlt::AltClick, &TMainForm::BtnWR_FilterAltClick);
  Wire(ui->BtnWR_Alr1, &QPushButton::clicked, &TMainForm::BtnWR_Alr1Click);
  Wire(ui->BtnWR_Alr1, &TBitBtnAlt::AltClick, &TMainForm::BtnWR_Alr1AltClick);
  Wire(ui->BtnWR_Alr2, &QPushButton::clicked, &TMainForm::BtnWR_Alr2Click);
  Wire(ui->BtnWR_Alr2, &TBitBtnAlt::AltClick, &TMainForm::BtnWR_Alr2AltClick);
  Wire(ui->BtnLoad, &QPushButton::clicked, &TMainForm::BtnLoadClick);
  Wire(ui->BtnSave, &QPushButton::clicked, &TMainForm::BtnSaveClick);
  Wire(ui->BtnUnlock, &QPushButton::clicked, &TMainForm::_BtnUnlockClick);
  Wire(ui->SpBtnZ, &QToolButton::clicked, &TMainForm::SpBtnZClick);
  Wire(ui->SpBtnPE, &QToolButton::clicked, &TMainForm::SpBtnPEClick);
  Wire(ui->BtnPRG, &QToolButton::clicked, &TMainForm::BtnPRGClick);
  Wire(ui->BtnErase, &QToolButton::clicked, &TMainForm::BtnEraseClick);
  Wire(ui->BtnRESET, &QToolButton::clicked, &TMainForm::BtnRESETClick);
  Wire(ui->BtnRESET_MSP, &QToolButton::clicked, &TMainForm::BtnRESET_MSPClick);
  Wire(ui->BtnGetInfo, &QToolButton::clicked, &TMainForm::BtnGetInfoClick);
  Wire(ui->SpeedButton1, &QToolButton::clicked, &TMainForm::SpeedButton1Click);
  Wire(ui->BtnBackTrace, &QToolButton::clicked, &TMainForm::BtnBackTraceClick);

  connect(ui->TabAL1, &QTabWidget::currentChanged, this, [this](int Index) {
    if (RevertingPage)
      return;
    // A change the filters below do not stop (the page control's own keyboard switching also
    // reaches hidden pages): refused all the same, while disconnected or towards a hidden page.
    if (!ChangingPageItself && Index != ShownPage &&
        (!TabAL1Changing() || !ui->TabAL1->isTabVisible(Index))) {
      RevertingPage = true;
      ui->TabAL1->setCurrentIndex(ShownPage);
      RevertingPage = false;
      return;
    }
    ShownPage = Index;
    QWidget *Page = ui->TabAL1->widget(Index);
    if (Page == ui->TabMesure)
      ShowRangeErrors(this, [this] { TabMesureShow(); });
    else if (Page == ui->TabALR1)
      ShowRangeErrors(this, [this] { TabALR1Show(); });
    else if (Page == ui->TabALR2)
      ShowRangeErrors(this, [this] { TabALR2Show(); });
  });
  ui->TabAL1->tabBar()->installEventFilter(this);
  ui->TabAL1->installEventFilter(this);
  ui->Image1->installEventFilter(this);
}

TMainForm::~TMainForm() {
  // The worker posts to ZOL: stop it before the controls its signals reach go away.
  ZOL->Close();
  if (MainForm == this)
    MainForm = nullptr;
}

template <class TButton, class TSignal>
void TMainForm::Wire(TButton *Button, TSignal Signal, void (TMainForm::*Handler)()) {
  connect(Button, Signal, this,
          [this, Handler] { ShowRangeErrors(this, [this, Handler] { (this->*Handler)(); }); });
}

void TMainForm::ApplyFonts() {
  // Where "MS Sans Serif" is missing (any system but Windows), a narrow sans serif keeps the
  // captions within the sizes the window is laid out for.
  QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                             {QStringLiteral("DejaVu Sans Condensed"),
                              QStringLiteral("Liberation Sans Narrow"),
                              QStringLiteral("Arial Narrow")});
  // Where the fixed-pitch screen fonts are missing (any system but Windows, and a Windows
  // program under Wine without its fonts), a monospaced font the system has; without one, the
  // fields would fall back to a family that may draw nothing.
  for (const QString &Fixed : {QStringLiteral("Terminal"), QStringLiteral("Courier")})
    QFont::insertSubstitutions(Fixed,
                               {QStringLiteral("Courier New"), QStringLiteral("DejaVu Sans Mono"),
                                QStringLiteral("Liberation Mono")});
  setFont(PixelFont("MS Sans Serif", 11, QFont::SansSerif));
  for (QWidget *Label :
       {static_cast<QWidget *>(ui->LbWR_TAG), static_cast<QWidget *>(ui->LbWR_Filter),
        static_cast<QWidget *>(ui->LbWR_Alr1), static_cast<QWidget *>(ui->LbWR_Alr2)})
    Label->setFont(PixelFont("MS Sans Serif", 13, QFont::SansSerif));
  // "Terminal" with the OEM character set: a fixed-pitch screen font.
  const QFont Terminal = PixelFont("Terminal", 16, QFont::TypeWriter);
  ui->EdTag->setFont(Terminal);
  ui->EdInfo->setFont(Terminal);
  const QFont Courier = PixelFont("Courier", 13, QFont::TypeWriter, true);
  for (TMaskEdit *Edit :
       {ui->EdFilter, ui->EdAlr1, ui->EdHys1, ui->EdDel1, ui->EdAlr2, ui->EdHys2, ui->EdDel2}) {
    Edit->setFont(Courier);
    QPalette Palette = Edit->palette();
    Palette.setColor(QPalette::Text, Qt::black);
    Edit->setPalette(Palette);
  }
  // Narrow tabs: the four captions fit the page control's width, as on the instrument's
  // original screens, without scroll arrows.
  ui->TabAL1->tabBar()->setStyleSheet(QStringLiteral("QTabBar::tab { padding: 3px 6px; }"));
  ui->Label2->setFont(PixelFont("Arial", 37, QFont::SansSerif, true));
  QPalette Maroon = ui->Label2->palette();
  Maroon.setColor(QPalette::WindowText, QColor(128, 0, 0));
  ui->Label2->setPalette(Maroon);
}

void TMainForm::ApplyPictures() {
  InitPictures();
  const QIcon Send = Glyph("SEND", "SENDOFF");
  for (TBitBtnAlt *Button : {ui->BtnWR_TAG, ui->BtnWR_Filter, ui->BtnWR_Alr1, ui->BtnWR_Alr2}) {
    Button->setIcon(Send);
    Button->setIconSize(QSize(16, 16));
  }
  ui->BtnLoad->setIcon(Glyph("LOAD"));
  ui->BtnSave->setIcon(Glyph("SAVE"));
  ui->BtnScan->setIcon(Glyph("SCAN"));
  ui->BtnUnlock->setIcon(Glyph("KEY"));
  ui->BtnQuit->setIcon(Glyph("QUIT"));
  for (QPushButton *Button :
       {static_cast<QPushButton *>(ui->BtnScan), static_cast<QPushButton *>(ui->BtnUnlock)})
    Button->setIconSize(QSize(24, 24));
  ui->Image1->setPixmap(Picture("LOGO"));
  setWindowIcon(QIcon(Picture("ICON")));
}

// ---- Window
// ---------------------------------------------------------------------------------------

void TMainForm::showEvent(QShowEvent *Event) {
  QWidget::showEvent(Event);
  // Runs before the window is drawn: with several instruments, the selection dialog comes first.
  if (!Event->spontaneous())
    ShowRangeErrors(this, [this] { FormShow(); });
}

void TMainForm::closeEvent(QCloseEvent *Event) {
  FormClose();
  QWidget::closeEvent(Event);
}

void TMainForm::FormShow() {
  setWindowTitle(Tr("Configurateur ZOLCFG RW8", "ZOLCFG RW8 configurator"));
  ui->TabAL1->setTabText(0, Tr("Identification", "Identification"));
  ui->TabAL1->setTabText(1, Tr("Mesure", "Measure"));
  ui->TabAL1->setTabText(2, Tr("Alarme 1", "Alarm 1"));
  ui->TabAL1->setTabText(3, Tr("Alarme 2", "Alarm 2"));
  ui->TabAL1->setTabVisible(4, false);
  ChangingPageItself = true;
  ui->TabAL1->setCurrentIndex(0);
  ChangingPageItself = false;
  BtnScanClick();
}

void TMainForm::FormClose() {
  // An operation still waiting for its read-back is recorded before the worker stops.
  ZOL->Journal->Finish();
  ZOL->Close();
  // The history window is not modal: left open it would keep the program running.
  if (BackTraceForm != nullptr)
    BackTraceForm->close();
  JournalForm->close();
}

void TMainForm::BtnQuitClick() {
  close();
}

void TMainForm::WatchArrivals() {
  HidPlatform &Platform = ZOL->Device->Platform();
  if (!Platform.WatchArrivals(ZOL->Device->Vid, ZOL->Device->Pid))
    return; // the scan button only
  SeenArrivals = Platform.Arrivals();
  auto *Poll = new QTimer(this);
  connect(Poll, &QTimer::timeout, this, [this, &Platform] {
    const std::uint64_t Now = Platform.Arrivals();
    if (Now == SeenArrivals)
      return;
    SeenArrivals = Now;
    if (DevicePresent)
      return;
    // With nothing selected, the news is scanned for at once; nothing is said yet when the
    // new node cannot be opened so soon.
    if (!ZOL->Device->Following() && QApplication::activeModalWidget() == nullptr) {
      const int Found = ZOL->Scan();
      if (Found > 0) {
        ShowRangeErrors(this, [this, Found] { OpenScanned(Found); });
        return;
      }
    }
    // The instrument that was open may be the one back: the worker looks for it at once and
    // takes it again by itself. Only when none is open after a moment, the new one is scanned
    // for and opened as the scan button does (several: the selection dialog, once).
    if (TUSBThread *Worker = ZOL->Device->Worker())
      Worker->LookNow();
    QTimer::singleShot(kArrivalSettle, this, [this] {
      if (!DevicePresent && QApplication::activeModalWidget() == nullptr)
        ShowRangeErrors(this, [this] { BtnScanClick(); });
    });
  });
  Poll->start(kArrivalPoll);
}

void TMainForm::BtnScanClick() {
  OpenScanned(ZOL->Scan());
}

void TMainForm::OpenScanned(int n) {
  if (n == 1) {
    ZOL->Open(0);
  } else if (n > 1) {
    QStringList Lines;
    for (int i = 0; i < n; ++i)
      Lines << QStringLiteral("USB N°") + QString::number(i);
    const int k = ChooseInstrument ? ChooseInstrument(Lines) : -1;
    if (k >= 0 && k < n)
      ZOL->Open(k);
  } else {
    // No instrument the program may open. One the system lists but refuses (no permission on
    // its hidraw node) must not look like none: say so, and how to mend it.
    const QStringList Unopenable =
        UnopenableLines(ZOL->Device->Platform(), ZOL->Device->Vid, ZOL->Device->Pid);
    if (!Unopenable.isEmpty())
      QMessageBox::warning(this, Tr("Instrument inaccessible", "Instrument not accessible"),
                           UnopenableMessage(Unopenable));
  }
}

bool TMainForm::TabAL1Changing() const {
  return DevicePresent;
}

bool TMainForm::eventFilter(QObject *Watched, QEvent *Event) {
  if (Watched == ui->Image1 && Event->type() == QEvent::MouseButtonDblClick) {
    ShowRangeErrors(this, [this] { Image1DblClick(); });
    return true;
  }
  if ((Watched == ui->TabAL1->tabBar() || Watched == ui->TabAL1) && !TabAL1Changing()) {
    switch (Event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseButtonRelease:
    case QEvent::Wheel:
      return Watched == ui->TabAL1->tabBar();
    case QEvent::KeyPress: {
      // Ctrl+Tab, Ctrl+PgUp/PgDn on the page control; arrows, Home, End on the tab bar.
      const auto *Key = static_cast<QKeyEvent *>(Event);
      const bool Ctrl = Key->modifiers() & Qt::ControlModifier;
      switch (Key->key()) {
      case Qt::Key_Tab:
      case Qt::Key_Backtab:
      case Qt::Key_PageUp:
      case Qt::Key_PageDown:
        return Ctrl;
      case Qt::Key_Left:
      case Qt::Key_Right:
      case Qt::Key_Up:
      case Qt::Key_Down:
      case Qt::Key_Home:
      case Qt::Key_End:
        return Watched == ui->TabAL1->tabBar();
      default:
        break;
      }
      break;
    }
    default:
      break;
    }
  }
  return QWidget::eventFilter(Watched, Event);
}

void TMainForm::TabMesureShow() {
  ZOL->ReadFilter();
}
void TMainForm::TabALR1Show() {
  ZOL->ReadAlarm1();
}
void TMainForm::TabALR2Show() {
  ZOL->ReadAlarm2();
}

// ---- Sending and re-reading
// -------------------------------------------------------------------------

TZOLAlarm TMainForm::AlarmOfPage(int Which) const {
  const bool One = Which == 1;
  TZOLAlarm Alarm;
  // Each number on its own: a field that does not convert is 0, the others keep their values.
  Alarm.SetPoint = static_cast<float>(FieldToNumber((One ? ui->EdAlr1 : ui->EdAlr2)->maskedText()));
  Alarm.Hysteresis =
      static_cast<float>(FieldToNumber((One ? ui->EdHys1 : ui->EdHys2)->maskedText()));
  Alarm.Delay = static_cast<float>(FieldToNumber((One ? ui->EdDel1 : ui->EdDel2)->maskedText()));
  Alarm.ContactNC = (One ? ui->RdRelNf1 : ui->RdRelNf2)->isChecked() ? 1 : 0;
  Alarm.FailClosed = (One ? ui->RdDefNf1 : ui->RdDefNf2)->isChecked() ? 1 : 0;
  Alarm.LedBelow = (One ? ui->RdLedNe1 : ui->RdLedNe2)->isChecked() ? 1 : 0;
  return Alarm;
}

void TMainForm::Journaled(TJournalOperation Operation, const std::function<void()> &Send,
                          const TZOLModel &Before, const std::string &File) {
  // A value no frame carries throws before anything goes out: nothing to record then.
  Send();
  ZOL->Journal->Begin(Operation, Before, File);
}

void TMainForm::BtnWR_TAGClick() {
  Journaled(
      TJournalOperation::WriteTag,
      [this] { ZOL->WriteTag(ui->EdTag->text().toLatin1().toStdString()); }, ZOL->Snapshot());
}
void TMainForm::BtnWR_TAGAltClick() {
  ZOL->ReadTag();
}
void TMainForm::BtnWR_FilterClick() {
  Journaled(
      TJournalOperation::WriteFilter,
      [this] { ZOL->WriteFilter(static_cast<float>(FieldToNumber(ui->EdFilter->maskedText()))); },
      ZOL->Snapshot());
}
void TMainForm::BtnWR_FilterAltClick() {
  ZOL->ReadFilter();
}
void TMainForm::BtnWR_Alr1Click() {
  Journaled(
      TJournalOperation::WriteAlarm, [this] { ZOL->WriteAlarm1(AlarmOfPage(1)); }, ZOL->Snapshot());
}
void TMainForm::BtnWR_Alr1AltClick() {
  ZOL->ReadAlarm1();
}
void TMainForm::BtnWR_Alr2Click() {
  Journaled(
      TJournalOperation::WriteAlarm, [this] { ZOL->WriteAlarm2(AlarmOfPage(2)); }, ZOL->Snapshot());
}
void TMainForm::BtnWR_Alr2AltClick() {
  ZOL->ReadAlarm2();
}

// ---- Parameter files
// ---------------------------------------------------------------------------------

void TMainForm::BtnLoadClick() {
  // The settings before are the instrument's, not the file's that replace them in the model.
  const TZOLModel Before = ZOL->Snapshot();
  if (ZOL->LoadParametersDialog(this))
    Journaled(
        TJournalOperation::Load, [this] { ZOL->WriteAll(); }, Before, ZOL->LoadedFile);
}

void TMainForm::BtnSaveClick() {
  // The file is written when the read chain is complete (ZOLReadAll): it holds what the
  // instrument holds, never unsent edits of the window.
  SaveOnReadAll = true;
  ZOL->ReadAll();
}

void TMainForm::ZOLReadAll(const TZOLModel &) {
  // Only the save button's read-all opens the dialog (the journal's read-back and the
  // configuration sheet run their own).
  if (!SaveOnReadAll)
    return;
  SaveOnReadAll = false;
  ZOL->SaveParametersDialog(this);
}

// ---- Other windows
// ---------------------------------------------------------------------------------

void TMainForm::_BtnUnlockClick() {
  if (PassForm != nullptr)
    PassForm->exec();
}

void TMainForm::Image1DblClick() {
  if (AboutBox != nullptr)
    AboutBox->exec();
}

void TMainForm::BtnBackTraceClick() {
  if (BackTraceForm != nullptr) {
    BackTraceForm->show();
    BackTraceForm->raise();
    BackTraceForm->activateWindow();
  }
}

void TMainForm::ZOLUnlockDevice(const TZOLModel &) {
  if (PassForm != nullptr)
    PassForm->ZOLUnlockDevice();
}

void TMainForm::ZOLGetCryptedPassword(const TZOLModel &Snapshot) {
  if (PassForm != nullptr)
    PassForm->ZOLGetCryptedPassword(Snapshot);
}

void TMainForm::ZOLUpdateWROP(const TWROP &Record) {
  if (BackTraceForm != nullptr)
    BackTraceForm->ReceiveWROP(Record);
}

void TMainForm::ZOLChainFailed(const QString &Message) {
  ShowErrorMessage(this, Message);
}

// ---- What the instrument holds
// ------------------------------------------------------------------------

void TMainForm::ShowAlarm(int Which, const TZOLAlarm &Alarm) {
  const bool One = Which == 1;
  (One ? ui->EdAlr1 : ui->EdAlr2)->setMaskedText(FormatWhole(Alarm.SetPoint));
  (One ? ui->EdHys1 : ui->EdHys2)->setMaskedText(FormatWhole(Alarm.Hysteresis));
  TMaskEdit *Delay = One ? ui->EdDel1 : ui->EdDel2;
  // The mask's literal must be the separator the number conversion expects.
  Delay->setEditMask(RegionalDelayMask());
  Delay->setMaskedText(FormatTenths(Alarm.Delay, RegionalDecimalSeparator()));
  // Each pair shows exactly its flag: the button standing for the flag's value is checked, which
  // unchecks its partner (unchecking a checked auto-exclusive radio button does nothing).
  const auto Select = [](bool Flag, QRadioButton *IfSet, QRadioButton *IfClear) {
    (Flag ? IfSet : IfClear)->setChecked(true);
  };
  Select(Alarm.ContactNC != 0, One ? ui->RdRelNf1 : ui->RdRelNf2,
         One ? ui->RdRelNo1 : ui->RdRelNo2);
  Select(Alarm.FailClosed != 0, One ? ui->RdDefNf1 : ui->RdDefNf2,
         One ? ui->RdDefNo1 : ui->RdDefNo2);
  Select(Alarm.LedBelow != 0, One ? ui->RdLedNe1 : ui->RdLedNe2, One ? ui->RdLedNa1 : ui->RdLedNa2);
}

void TMainForm::ZOLUpdateAlarm1(const TZOLModel &Snapshot) {
  ShowAlarm(1, Snapshot.Settings.Alarm1);
}
void TMainForm::ZOLUpdateAlarm2(const TZOLModel &Snapshot) {
  ShowAlarm(2, Snapshot.Settings.Alarm2);
}

void TMainForm::ZOLUpdateFilter(const TZOLModel &Snapshot) {
  ui->EdFilter->setEditMask(RegionalDelayMask());
  ui->EdFilter->setMaskedText(FormatTenths(Snapshot.Settings.Filter, RegionalDecimalSeparator()));
}

void TMainForm::ZOLUpdateTag(const TZOLModel &Snapshot) {
  ui->EdTag->setText(FromLatin1(Snapshot.Settings.Tag.Get()));
  ui->EdTag->setEnabled(true);
}

// ---- Connection and state
// ------------------------------------------------------------------------------

void TMainForm::ZOLConnect(const TZOLModel &Snapshot) {
  ui->led1->setLedStatus(true);
  DevicePresent = true;
  ui->LbVendor->setText(QString::fromStdString(Snapshot.Manufacturer));
  ui->LbProduct->setText(QString::fromStdString(Snapshot.Product));
  ui->LbSerial->setText(QString::fromStdString(Snapshot.SerialNumber));
  ui->BtnLoad->setEnabled(true);
  ui->BtnSave->setEnabled(true);
  ui->BtnUnlock->setEnabled(true);
  // The send rows follow the next state update.
}

void TMainForm::ZOLDisconnect(const TZOLModel &) {
  ui->led1->setLedStatus(false);
  DevicePresent = false;
  ui->LbVendor->setText(QStringLiteral("???"));
  ui->LbProduct->setText(QStringLiteral("???"));
  ui->LbSerial->setText(QStringLiteral("???"));
  ui->EdInfo->clear();
  for (QWidget *Control : std::initializer_list<QWidget *>{
           ui->BtnWR_TAG, ui->BtnWR_Filter, ui->BtnWR_Alr1, ui->BtnWR_Alr2, ui->LbWR_TAG,
           ui->LbWR_Filter, ui->LbWR_Alr1, ui->LbWR_Alr2, ui->BtnLoad, ui->BtnSave})
    Control->setEnabled(false);
  ChangingPageItself = true;
  ui->TabAL1->setCurrentIndex(0);
  ChangingPageItself = false;
  ui->EdTag->setEnabled(false);
  ui->BtnUnlock->setEnabled(false);
  if (PassForm != nullptr && PassForm->isVisible())
    PassForm->reject();
}

void TMainForm::SetLockDependent(bool Locked) {
  ui->CkWriteLock->setChecked(Locked);
  for (QWidget *Control : std::initializer_list<QWidget *>{
           ui->BtnWR_TAG, ui->BtnWR_Filter, ui->BtnWR_Alr1, ui->BtnWR_Alr2, ui->LbWR_TAG,
           ui->LbWR_Filter, ui->LbWR_Alr1, ui->LbWR_Alr2, ui->BtnLoad})
    Control->setEnabled(!Locked);
  if (PassForm != nullptr) {
    PassForm->GrChangePW->setEnabled(!Locked);
    PassForm->ImgLock->setVisible(Locked);
  }
  ui->SpBtnZ->setEnabled(!Locked);
  ui->SpBtnPE->setEnabled(!Locked);
}

void TMainForm::ZOLUpdateState(const TZOLModel &Snapshot) {
  ui->CkCPUError->setChecked(false);
  if (ui->CkDix->isChecked()) {
    ui->SEGt->setNb(RoundHalfEvenToInt(static_cast<double>(Snapshot.Measure) * 10.0));
    ui->SEGt->setPointDecimal(1);
  } else {
    ui->SEGt->setNb(RoundHalfEvenToInt(Snapshot.Measure));
    ui->SEGt->setPointDecimal(0);
  }
  ui->RALR1->setStatus(Snapshot.Relay1);
  ui->LEDALR1->setLedStatus(Snapshot.Led1);
  ui->RALR2->setStatus(Snapshot.Relay2);
  ui->LEDALR2->setLedStatus(Snapshot.Led2);
  ui->CkUseDisplay->setChecked(Snapshot.UseDisplay);
  ui->CkUseE2PROM->setChecked(Snapshot.UseE2PROM);
  ui->SEGMesure->setNb(RoundHalfEvenToInt(Snapshot.Measure));
  SetLockDependent(Snapshot.WriteLocked);
  ui->PingLED->setLedStatus(!Snapshot.PingError);
  ui->SEG->setNb(Snapshot.RawValue);
  ui->SEGRt->setNb(RoundHalfEvenToInt(static_cast<double>(Snapshot.Rt) * 10.0));
}

void TMainForm::ZOLError(const TZOLModel &) {
  ui->CkCPUError->setChecked(true);
}

void TMainForm::ZOLUpdateInfo(const TZOLModel &Snapshot) {
  ui->EdInfo->setText(QString::fromStdString(Snapshot.InfoText));
  const QString Info = ui->EdInfo->text();
  if (!Info.isEmpty())
    ui->EdInfo->setToolTip(FirmwareProgrammed(Info.toStdString())
                               ? Tr("TUSB Programmé", "TUSB programmed")
                               : Tr("TUSB Non programmé", "TUSB not programmed"));
}

// ---- Maker's tab
// ----------------------------------------------------------------------------------------

void TMainForm::SpBtnZClick() {
  Journaled(
      TJournalOperation::AdjustZero, [this] { ZOL->AdjustZero(); }, ZOL->Snapshot());
}
void TMainForm::SpBtnPEClick() {
  Journaled(
      TJournalOperation::AdjustFullScale, [this] { ZOL->AdjustFullScale(); }, ZOL->Snapshot());
}

void TMainForm::BtnPRGClick() {
  if (ConfirmDefaultNo(this, Tr("Voulez vous vraiment programmer le firmware ?",
                                "Do you really want to program the firmware?")))
    ZOL->ProgramFirmware();
}

void TMainForm::BtnEraseClick() {
  if (ConfirmDefaultNo(this, Tr("Voulez vous vraiment effacer le firmware ?",
                                "Do you really want to erase the firmware?")))
    ZOL->EraseFirmware();
}

void TMainForm::BtnRESETClick() {
  ZOL->Reset();
}

void TMainForm::BtnRESET_MSPClick() {
  if (!ConfirmDefaultNo(this, Tr("Voulez vous vraiment réinitialiser tout l'instrument ?",
                                 "Do you really want to reset the whole instrument?")))
    return;
  // Ticked until the instrument answers with a state report again.
  ui->CkCPUError->setChecked(true);
  Journaled(
      TJournalOperation::ResetAll, [this] { ZOL->ResetAll(); }, ZOL->Snapshot());
}

void TMainForm::BtnGetInfoClick() {
  ui->EdInfo->clear();
  ui->EdInfo->setToolTip(QStringLiteral("?"));
  ZOL->ReadInfo();
}

void TMainForm::SpeedButton1Click() {
  ZOL->Ping();
}

} // namespace zol
