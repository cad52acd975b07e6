#include "windows/Journal.h"

#include <QApplication>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <chrono>
#include <mutex>
#include <thread>

#include "protocol/Codec.h"
#include "protocol/SystemFile.h"
#include "protocol/Utils.h"
#include "windows/Language.h"
#include "windows/Look.h"
#include "windows/Sheet.h"
#include "windows/TZOL.h"

#ifndef ZOLCFG_VERSION
#define ZOLCFG_VERSION "unknown"
#endif

namespace zol {

// ---- The writer's thread -----------------------------------------------------------------------

TJournalWriter::TJournalWriter(TDone Done) : Done(std::move(Done)), Worker([this] { Run(); }) {}

TJournalWriter::~TJournalWriter() {
  {
    std::lock_guard Lock(Mutex);
    Stopping = true;
  }
  Wake.notify_all();
  Worker.join();
}

void TJournalWriter::Add(const std::string &Path, TJournalRecord Record) {
  {
    std::lock_guard Lock(Mutex);
    Queue.emplace_back(Path, std::move(Record));
  }
  Wake.notify_all();
}

void TJournalWriter::Run() {
  for (;;) {
    std::pair<std::string, TJournalRecord> Item;
    {
      std::unique_lock Lock(Mutex);
      Wake.wait(Lock, [this] { return Stopping || !Queue.empty(); });
      if (Queue.empty())
        return; // stopping, and everything queued is written
      Item = std::move(Queue.front());
      Queue.pop_front();
    }
    const std::string Serial = Item.second.SerialNumber;
    const std::string Problem = StoreJournalRecord(Item.first, std::move(Item.second));
    if (Done)
      Done(Serial, Problem);
  }
}

// ---- What changed ------------------------------------------------------------------------------

namespace {

QString FromLatin1(const std::string &Text) {
  return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}

/// The tag as the instrument keeps it when sent Text: 16 characters, the packed ones.
std::string TagAsKept(const std::string &Text) {
  return DecodeCommand(EncodeTagHalf(TCommand::SendTag1, Text).data()).Text +
         DecodeCommand(EncodeTagHalf(TCommand::SendTag2, Text).data()).Text;
}

bool SameTag(const TTagField &Held, const TTagField &Sent) {
  return TagAsKept(Held.Get()) == TagAsKept(Sent.Get());
}
bool SameFilter(float Held, float Sent) {
  return EncodeFilter(Held) == EncodeFilter(Sent);
}
bool SameAlarm(const TZOLAlarm &Held, const TZOLAlarm &Sent) {
  return EncodeAlarm(TCommand::SendAlarm1, Held) == EncodeAlarm(TCommand::SendAlarm1, Sent);
}
bool SameSettings(const TZOLSettings &Held, const TZOLSettings &Sent) {
  return SameTag(Held.Tag, Sent.Tag) && SameFilter(Held.Filter, Sent.Filter) &&
         SameAlarm(Held.Alarm1, Sent.Alarm1) && SameAlarm(Held.Alarm2, Sent.Alarm2);
}

QString Tenths(float Value) {
  return QString::number(static_cast<double>(Value), 'f', 1);
}

QString Trimmed(const std::string &Tag) {
  QString Text = FromLatin1(Tag);
  while (!Text.isEmpty() && Text.back().isSpace())
    Text.chop(1);
  return Text;
}

} // namespace

QStringList SettingsChanges(const std::optional<TZOLSettings> &Before,
                            const std::optional<TZOLSettings> &After) {
  QStringList Changes;
  if (!Before || !After)
    return Changes;
  const QString Arrow = QStringLiteral(" → ");
  if (Trimmed(Before->Tag.Get()) != Trimmed(After->Tag.Get()))
    Changes << QStringLiteral("tag \"") + Trimmed(Before->Tag.Get()) + QStringLiteral("\"") +
                   Arrow + QStringLiteral("\"") + Trimmed(After->Tag.Get()) + QStringLiteral("\"");
  const auto Number = [&](const QString &Name, float From, float To, const QString &Unit) {
    if (Tenths(From) != Tenths(To))
      Changes << Name + QLatin1Char(' ') + Tenths(From) + Arrow + Tenths(To) + Unit;
  };
  const auto Flag = [&](const QString &Name, std::uint8_t From, std::uint8_t To,
                        const QString &IfClear, const QString &IfSet) {
    if ((From != 0) != (To != 0))
      Changes << Name + QLatin1Char(' ') + (From != 0 ? IfSet : IfClear) + Arrow +
                     (To != 0 ? IfSet : IfClear);
  };
  Number(Tr("filtre", "filter"), Before->Filter, After->Filter, QStringLiteral(" s"));
  for (int Which = 1; Which <= 2; ++Which) {
    const TZOLAlarm &From = Which == 1 ? Before->Alarm1 : Before->Alarm2;
    const TZOLAlarm &To = Which == 1 ? After->Alarm1 : After->Alarm2;
    const QString Alarm = Tr("alarme ", "alarm ") + QString::number(Which) + QLatin1Char(' ');
    Number(Alarm + Tr("seuil", "set point"), From.SetPoint, To.SetPoint, QStringLiteral(" °C"));
    Number(Alarm + Tr("hystérésis", "hysteresis"), From.Hysteresis, To.Hysteresis,
           QStringLiteral(" °C"));
    Number(Alarm + Tr("retard", "delay"), From.Delay, To.Delay, QStringLiteral(" s"));
    Flag(Alarm + Tr("contact", "contact"), From.ContactNC, To.ContactNC,
         Tr("normalement ouvert", "normally open"), Tr("normalement fermé", "normally closed"));
    Flag(Alarm + Tr("sur défaut", "on failure"), From.FailClosed, To.FailClosed,
         Tr("ouvert", "open"), Tr("fermé", "closed"));
    Flag(Alarm + Tr("voyant allumé", "LED lit"), From.LedBelow, To.LedBelow,
         Tr("au-dessus du seuil", "above the threshold"),
         Tr("en dessous du seuil", "below the threshold"));
  }
  return Changes;
}

QString OperationText(TJournalOperation Operation) {
  switch (Operation) {
  case TJournalOperation::WriteTag:
    return Tr("Envoi du tag", "Tag sent");
  case TJournalOperation::WriteFilter:
    return Tr("Envoi du filtre", "Filter sent");
  case TJournalOperation::WriteAlarm:
    return Tr("Envoi d'une alarme", "Alarm sent");
  case TJournalOperation::Load:
    return Tr("Envoi d'un fichier paramètres", "Parameter file sent");
  case TJournalOperation::ResetAll:
    return Tr("Réinitialisation totale", "Whole reset");
  case TJournalOperation::ChangePassword:
    return Tr("Changement du mot de passe", "Password change");
  case TJournalOperation::AdjustZero:
    return Tr("Ajustage de zéro", "Zero adjustment");
  case TJournalOperation::AdjustFullScale:
    return Tr("Ajustage de la pleine échelle", "Full-scale adjustment");
  }
  return QString();
}

QString VerdictText(TJournalVerdict Verdict) {
  switch (Verdict) {
  case TJournalVerdict::Held:
    return Tr("tenu", "held");
  case TJournalVerdict::Differs:
    return Tr("différent", "differs");
  case TJournalVerdict::Failed:
    return Tr("échoué", "failed");
  case TJournalVerdict::Interrupted:
    return Tr("interrompu", "interrupted");
  }
  return QString();
}

void ShowJournalNote(QWidget *Owner, const QString &Note) {
  auto *Box =
      new QMessageBox(QMessageBox::Warning, Tr("Journal", "Journal"), Note, QMessageBox::Ok, Owner);
  Box->setWindowModality(Qt::NonModal);
  Box->setAttribute(Qt::WA_DeleteOnClose);
  Box->show();
}

// ---- The keeper --------------------------------------------------------------------------------

TJournalKeeper::TJournalKeeper(TZOL &ZOL, QObject *Parent) : QObject(Parent), ZOL(ZOL) {
  AnswerTimer.setSingleShot(true);
  AnswerTimer.setInterval(kAnswerMs);
  SettleTimer.setSingleShot(true);
  SettleTimer.setInterval(kResetSettleMs);
  connect(&AnswerTimer, &QTimer::timeout, this, [this] {
    Complete(TJournalVerdict::Failed, std::nullopt,
             ReadingBack() ? "the settings were not read back in time"
                           : "the instrument did not answer in time");
  });
  connect(&SettleTimer, &QTimer::timeout, this, [this] { ReadBack(); });

  // A single write is read back by its answer's chain: the event of its setting carries it.
  const auto Single = [this](TJournalOperation Operation, auto Same) {
    return [this, Operation, Same](const TZOLModel &Snapshot) {
      if (!Pending || Pending->Operation != Operation || Snapshot.WritingAll || Snapshot.ReadingAll)
        return;
      Complete(Same(Snapshot) ? TJournalVerdict::Held : TJournalVerdict::Differs, Snapshot.Settings,
               {});
    };
  };
  connect(&ZOL, &TZOL::TagUpdated, this,
          Single(TJournalOperation::WriteTag,
                 [](const TZOLModel &M) { return SameTag(M.Settings.Tag, M.Outgoing.Tag); }));
  connect(&ZOL, &TZOL::FilterUpdated, this,
          Single(TJournalOperation::WriteFilter, [](const TZOLModel &M) {
            return SameFilter(M.Settings.Filter, M.Outgoing.Filter);
          }));
  // The alarm written is the one whose read-back comes: the other is not asked for.
  connect(&ZOL, &TZOL::Alarm1Updated, this,
          Single(TJournalOperation::WriteAlarm, [](const TZOLModel &M) {
            return SameAlarm(M.Settings.Alarm1, M.Outgoing.Alarm1);
          }));
  connect(&ZOL, &TZOL::Alarm2Updated, this,
          Single(TJournalOperation::WriteAlarm, [](const TZOLModel &M) {
            return SameAlarm(M.Settings.Alarm2, M.Outgoing.Alarm2);
          }));
  connect(&ZOL, &TZOL::AllWritten, this, [this](const TZOLModel &) {
    if (Pending && Pending->Operation == TJournalOperation::Load && !Pending->ReadingBack)
      ReadBack();
  });
  connect(&ZOL, &TZOL::AllRead, this, [this](const TZOLModel &Snapshot) {
    if (!Pending || !Pending->ReadingBack)
      return;
    const bool Held = Pending->Operation != TJournalOperation::Load ||
                      SameSettings(Snapshot.Settings, Snapshot.Outgoing);
    Complete(Held ? TJournalVerdict::Held : TJournalVerdict::Differs, Snapshot.Settings, {});
  });
  // The password change and the adjustments: the instrument's answer is followed by a state
  // request, whose answer is the first state update with it as the last command.
  connect(&ZOL, &TZOL::StateUpdated, this, [this](const TZOLModel &Snapshot) {
    if (!Pending || Snapshot.LastCommand != CodeOf(TCommand::ReadState))
      return;
    switch (Pending->Operation) {
    case TJournalOperation::ChangePassword:
    case TJournalOperation::AdjustZero:
    case TJournalOperation::AdjustFullScale:
      Complete(TJournalVerdict::Held, std::nullopt, {});
      break;
    default:
      break;
    }
  });
  connect(&ZOL, &TZOL::ChainFailed, this, [this](const QString &Message) {
    if (Pending)
      Complete(TJournalVerdict::Failed, std::nullopt, Message.toStdString());
  });
  connect(&ZOL, &TZOL::Disconnected, this, [this](const TZOLModel &) {
    if (Pending)
      Complete(TJournalVerdict::Failed, std::nullopt, "the instrument was disconnected");
  });

  ShowNote = [](const QString &Note) { ShowJournalNote(QApplication::activeWindow(), Note); };
}

TJournalKeeper::~TJournalKeeper() {
  Finish();
  Writer.reset(); // the records queued are written before the thread ends
}

void TJournalKeeper::Begin(TJournalOperation Operation, const TZOLModel &Before,
                           const std::string &ParameterFile) {
  if (!FEnabled)
    return;
  if (Pending)
    Complete(TJournalVerdict::Failed, std::nullopt,
             "another command went out before the settings were read back");
  Pending = TPending{Operation, Before, ParameterFile, false};
  AnswerTimer.start();
  if (Operation == TJournalOperation::ResetAll)
    SettleTimer.start(); // the instrument answers nothing the windows see: read it back
}

void TJournalKeeper::ReadBack() {
  if (!Pending)
    return;
  Pending->ReadingBack = true;
  AnswerTimer.start();
  ZOL.ReadAll();
}

void TJournalKeeper::Finish() {
  if (Pending)
    Complete(TJournalVerdict::Interrupted, std::nullopt,
             "the program closed before the settings were read back");
}

void TJournalKeeper::Complete(TJournalVerdict Verdict, const std::optional<TZOLSettings> &After,
                              const std::string &Message) {
  if (!Pending)
    return;
  TPending Done = std::move(*Pending);
  Pending.reset();
  AnswerTimer.stop();
  SettleTimer.stop();
  TJournalRecord Record;
  Record.SerialNumber = Done.Before.SerialNumber;
  Record.Manufacturer = Done.Before.Manufacturer;
  Record.Product = Done.Before.Product;
  Record.Firmware = Done.Before.InfoText;
  Record.Program = "zolcfg";
  Record.ProgramVersion = ZOLCFG_VERSION;
  Record.Operation = Done.Operation;
  Record.Before = Done.Before.Settings;
  Record.After = After;
  Record.Verdict = Verdict;
  Record.Message = Message;
  Record.ParameterFile = Done.ParameterFile;
  Record.When = std::chrono::system_clock::now();
  if (!Writer)
    Writer = std::make_unique<TJournalWriter>(
        [this](const std::string &Serial, const std::string &Problem) {
          const QString SerialText = QString::fromStdString(Serial);
          const QString ProblemText =
              QString::fromLocal8Bit(Problem.data(), static_cast<qsizetype>(Problem.size()));
          // Queued to this object: dropped with it, never waited for.
          QMetaObject::invokeMethod(
              this, [this, SerialText, ProblemText] { OnRecorded(SerialText, ProblemText); },
              Qt::QueuedConnection);
        });
  Writer->Add(JournalLocation(), std::move(Record));
}

void TJournalKeeper::OnRecorded(const QString &SerialNumber, const QString &Problem) {
  emit Recorded(SerialNumber, Problem);
  if (Problem.isEmpty() || NotesShown.contains(Problem))
    return;
  NotesShown.insert(Problem);
  LastNote =
      Tr("Le journal n'a pas pu être écrit : ", "The journal could not be written: ") + Problem;
  if (ShowNote)
    ShowNote(LastNote);
}

// ---- The window --------------------------------------------------------------------------------

namespace {

QString CsvQuoted(const QString &Text) {
  if (!Text.contains(QLatin1Char(',')) && !Text.contains(QLatin1Char('"')) &&
      !Text.contains(QLatin1Char('\n')) && !Text.contains(QLatin1Char('\r')))
    return Text;
  QString Quoted = Text;
  Quoted.replace(QStringLiteral("\""), QStringLiteral("\"\""));
  return QLatin1Char('"') + Quoted + QLatin1Char('"');
}

/// "2026-12-09T10:15:30.250+01:00" shown as "2026-12-09 10:15:30".
QString ShownTime(const std::string &Time) {
  QString Text = QString::fromStdString(Time).left(19);
  Text.replace(QLatin1Char('T'), QLatin1Char(' '));
  return Text;
}

bool WriteWhole(const QString &Path, const QByteArray &Data, QString &Reason) {
  const TSystemFileResult Result =
      ReplaceFileContent(Path.toStdString(), reinterpret_cast<const std::uint8_t *>(Data.data()),
                         static_cast<std::size_t>(Data.size()));
  if (!Result.Ok)
    Reason = Worded(Result.Error);
  return Result.Ok;
}

} // namespace

TJournalForm::TJournalForm(TZOL &ZOL, TJournalKeeper &Keeper, QWidget *Parent)
    : QWidget(Parent, Qt::Window), ZOL(ZOL), Keeper(Keeper) {
  setWindowTitle(Tr("Journal", "Journal"));
  LbSerial = new QLabel(this);
  Table = new QTableWidget(0, 4, this);
  Table->setHorizontalHeaderLabels({Tr("Date", "Date"), Tr("Opération", "Operation"),
                                    Tr("Verdict", "Verdict"),
                                    Tr("Ce qui a changé", "What changed")});
  Table->horizontalHeader()->setStretchLastSection(true);
  Table->verticalHeader()->hide();
  Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Table->setSelectionBehavior(QAbstractItemView::SelectRows);
  BtnCsv = new QPushButton(Tr("Exporter en CSV", "Export as CSV"), this);
  BtnSheet = new QPushButton(Tr("Fiche de configuration (PDF)", "Configuration sheet (PDF)"), this);
  LbStatus = new QLabel(this);
  LbStatus->setWordWrap(true);

  auto *Bar = new QHBoxLayout;
  Bar->addWidget(LbSerial, 1);
  Bar->addWidget(BtnCsv);
  Bar->addWidget(BtnSheet);
  auto *Layout = new QVBoxLayout(this);
  Layout->addLayout(Bar);
  Layout->addWidget(Table, 1);
  Layout->addWidget(LbStatus);
  resize(640, 360);

  connect(BtnCsv, &QPushButton::clicked, this, [this] {
    const QString Path = QFileDialog::getSaveFileName(
        this, Tr("Exporter en CSV", "Export as CSV"),
        QStringLiteral("journal-") + QString::fromStdString(Serial) + QStringLiteral(".csv"),
        QStringLiteral("CSV (*.csv)"));
    if (Path.isEmpty())
      return;
    QString Reason;
    if (!ExportCsv(Path, Reason))
      QMessageBox::warning(this, windowTitle(),
                           Tr("Impossible d'écrire ", "Cannot write ") + Path + " : " + Reason);
  });
  connect(BtnSheet, &QPushButton::clicked, this, [this] {
    const QString Path = QFileDialog::getSaveFileName(
        this, Tr("Fiche de configuration", "Configuration sheet"),
        QStringLiteral("fiche-") + QString::fromStdString(Serial) + QStringLiteral(".pdf"),
        QStringLiteral("PDF (*.pdf)"));
    if (!Path.isEmpty())
      MakeSheet(Path);
  });
  connect(&ZOL, &TZOL::Connected, this, [this](const TZOLModel &Snapshot) {
    Serial = Snapshot.SerialNumber;
    if (isVisible())
      Refresh();
  });
  connect(&ZOL, &TZOL::Disconnected, this, [this](const TZOLModel &) {
    if (!SheetPath.isEmpty()) {
      SheetPath.clear();
      QMessageBox::warning(this, windowTitle(),
                           Tr("La fiche n'a pas été écrite : l'instrument a été déconnecté.",
                              "The sheet was not written: the instrument was disconnected."));
    }
  });
  connect(&ZOL, &TZOL::InfoUpdated, this, [this](const TZOLModel &) {
    if (SheetPath.isEmpty() || !SheetNeedsInfo)
      return;
    SheetNeedsInfo = false;
    this->ZOL.ReadAll();
  });
  connect(&ZOL, &TZOL::AllRead, this, [this](const TZOLModel &Snapshot) {
    if (!SheetPath.isEmpty() && !SheetNeedsInfo)
      WriteSheet(Snapshot);
  });
  connect(&Keeper, &TJournalKeeper::Recorded, this, [this](const QString &SerialNumber) {
    if (isVisible() && SerialNumber.toStdString() == Serial)
      Refresh();
  });
}

void TJournalForm::showEvent(QShowEvent *Event) {
  QWidget::showEvent(Event);
  Refresh();
}

void TJournalForm::Refresh() {
  LbSerial->setText(Tr("N° de série : ", "Serial number: ") + QString::fromStdString(Serial));
  Records.clear();
  Table->setRowCount(0);
  if (!JournalKept()) {
    LbStatus->setText(Tr("Cette version ne tient pas de journal.", "This build keeps no journal."));
    return;
  }
  if (!Keeper.Enabled())
    LbStatus->setText(Tr("Le journal est désactivé : rien n'est plus noté.",
                         "The journal is turned off: nothing more is recorded."));
  else
    LbStatus->clear();
  if (Serial.empty())
    return;
  TJournalListing Listing = ListJournal(JournalLocation(), Serial, kShownRecords);
  if (!Listing.Problem.empty())
    LbStatus->setText(Tr("Le journal n'a pas pu être lu : ", "The journal could not be read: ") +
                      QString::fromLocal8Bit(Listing.Problem.c_str()));
  Records = std::move(Listing.Records);
  Table->setRowCount(static_cast<int>(Records.size()));
  for (int Row = 0; Row < static_cast<int>(Records.size()); ++Row) {
    const TJournalRecord &R = Records[static_cast<std::size_t>(Row)];
    QString Changed = SettingsChanges(R.Before, R.After).join(QStringLiteral("; "));
    if (!R.Message.empty())
      Changed += (Changed.isEmpty() ? QString() : QStringLiteral(" — ")) +
                 QString::fromLocal8Bit(R.Message.c_str());
    const QString Cells[] = {ShownTime(R.Time), OperationText(R.Operation), VerdictText(R.Verdict),
                             Changed};
    for (int Column = 0; Column < 4; ++Column) {
      auto *Item = new QTableWidgetItem(Cells[Column]);
      Item->setToolTip(Cells[Column]); // what changed may be wider than the window
      Table->setItem(Row, Column, Item);
    }
  }
  Table->resizeColumnsToContents();
  Table->horizontalHeader()->setStretchLastSection(true);
}

QByteArray TJournalForm::CsvText() const {
  QString Text = QStringLiteral("time,serialNumber,operation,verdict,changes,message,"
                                "parameterFile,userName,hostName,program,programVersion\n");
  for (const TJournalRecord &R : Records) {
    const QString Fields[] = {QString::fromStdString(R.Time),
                              FromLatin1(R.SerialNumber),
                              QString::fromStdString(StoredOperationName(R.Operation)),
                              QString::fromStdString(StoredVerdictName(R.Verdict)),
                              SettingsChanges(R.Before, R.After).join(QStringLiteral("; ")),
                              QString::fromLocal8Bit(R.Message.c_str()),
                              QString::fromLocal8Bit(R.ParameterFile.c_str()),
                              QString::fromLocal8Bit(R.UserName.c_str()),
                              QString::fromLocal8Bit(R.HostName.c_str()),
                              QString::fromStdString(R.Program),
                              QString::fromStdString(R.ProgramVersion)};
    QStringList Line;
    for (const QString &Field : Fields)
      Line << CsvQuoted(Field);
    Text += Line.join(QLatin1Char(',')) + QLatin1Char('\n');
  }
  return Text.toUtf8();
}

bool TJournalForm::ExportCsv(const QString &Path, QString &Reason) const {
  return WriteWhole(Path, CsvText(), Reason);
}

void TJournalForm::MakeSheet(const QString &Path) {
  SheetPath = Path;
  SheetNeedsInfo = true;
  LbStatus->setText(Tr("Lecture de tous les réglages ...", "Reading every setting ..."));
  // The sheet shows the instrument's information block and its settings as it holds them now:
  // the one read first, then the others (a command sent at once would cut the first short).
  ZOL.ReadInfo();
  QTimer::singleShot(2 * TJournalKeeper::kAnswerMs, this, [this, Path] {
    if (SheetPath != Path)
      return;
    SheetPath.clear();
    LbStatus->clear();
    QMessageBox::warning(this, windowTitle(),
                         Tr("La fiche n'a pas été écrite : les réglages n'ont pas été lus.",
                            "The sheet was not written: the settings were not read."));
  });
}

void TJournalForm::WriteSheet(const TZOLModel &Snapshot) {
  const QString Path = SheetPath;
  SheetPath.clear();
  TJournalListing Listing = ListJournal(JournalLocation(), Snapshot.SerialNumber, kSheetRecords);
  QString Problem;
  if (!JournalKept())
    Problem = Tr("cette version ne tient pas de journal", "this build keeps no journal");
  else if (!Listing.Problem.empty())
    Problem = QString::fromLocal8Bit(Listing.Problem.c_str());
  const QByteArray Pdf =
      ConfigurationSheetPdf(Snapshot, Listing.Records, Problem, QDateTime::currentDateTime());
  QString Reason;
  if (Pdf.isEmpty()) {
    Reason = Tr("le PDF n'a pas pu être fait", "the PDF could not be made");
  } else if (WriteWhole(Path, Pdf, Reason)) {
    LbStatus->setText(Tr("Fiche écrite : ", "Sheet written: ") + Path);
    return;
  }
  LbStatus->setText(Tr("Fiche non écrite : ", "Sheet not written: ") + Reason);
  QMessageBox::warning(this, windowTitle(),
                       Tr("Impossible d'écrire ", "Cannot write ") + Path + " : " + Reason);
}

TJournalForm *InstallJournal(TZOL &ZOL, TJournalKeeper &Keeper, QWidget *MeasurePage,
                             QWidget *Owner) {
  auto *Form = new TJournalForm(ZOL, Keeper, Owner);
  // Beside the trend's button, left of it, in the same free row.
  AddOpeningButton(ZOL, MeasurePage, Form, Tr("Journal", "Journal"), "BtnJournal",
                   QRect(77, 253, 80, 23));
  return Form;
}

} // namespace zol
