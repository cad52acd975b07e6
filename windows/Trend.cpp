#include "windows/Trend.h"

#include <QBuffer>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

#include "protocol/StateCsv.h"
#include "protocol/SystemFile.h"
#include "protocol/Utils.h"
#include "windows/Language.h"
#include "windows/Look.h"
#include "windows/TZOL.h"

namespace zol {

namespace {

std::int64_t NowMs() {
  return QDateTime::currentMSecsSinceEpoch();
}

/// A moment in local time with its offset from UTC, as zolctl writes it:
/// 2026-12-09T10:15:30.250+01:00.
bool WriteWhole(const QString &Path, const QByteArray &Data, QString &Reason) {
  const TSystemFileResult Result =
      ReplaceFileContent(Path.toStdString(), reinterpret_cast<const std::uint8_t *>(Data.data()),
                         static_cast<std::size_t>(Data.size()));
  if (!Result.Ok)
    Reason = Worded(Result.Error);
  return Result.Ok;
}

} // namespace

TTrendBand BandOfAlarm(const TZOLAlarm &Alarm) {
  // Normally open: closed above the threshold; normally closed: closed below it.
  return {Alarm.SetPoint, Alarm.Hysteresis, Alarm.ContactNC == 0, Alarm.LedBelow != 0};
}

TTrendForm::TTrendForm(TZOL &ZOL, QWidget *Parent) : QWidget(Parent, Qt::Window) {
  setWindowTitle(Tr("Tendance", "Trend"));
  // The font of the other windows (a narrow sans serif where "MS Sans Serif" is missing).
  setFont(PixelFont("MS Sans Serif", 11, QFont::SansSerif));
  FRows.resize(kRows);

  Plot = new TTrend(this);
  CbSpan = new QComboBox(this);
  CbSpan->addItems({QStringLiteral("1 min"), QStringLiteral("10 min"), QStringLiteral("1 h")});
  BtnPause = new QPushButton(this);
  BtnCsv = new QPushButton(Tr("Exporter en CSV...", "Export as CSV..."), this);
  BtnPng = new QPushButton(Tr("Exporter en PNG...", "Export as PNG..."), this);
  LbPointer = new QLabel(this);
  LbPointer->setMinimumWidth(220);
  ShowPause();

  auto *Bar = new QHBoxLayout;
  Bar->addWidget(new QLabel(Tr("Durée", "Span"), this));
  Bar->addWidget(CbSpan);
  Bar->addWidget(BtnPause);
  Bar->addStretch(1);
  Bar->addWidget(BtnCsv);
  Bar->addWidget(BtnPng);
  auto *Layout = new QVBoxLayout(this);
  Layout->addLayout(Bar);
  Layout->addWidget(Plot, 1);
  Layout->addWidget(LbPointer);
  resize(640, 380);

  connect(CbSpan, &QComboBox::currentIndexChanged, this,
          [this](int Index) { Plot->SetSpan(static_cast<TTrendSpan>(std::clamp(Index, 0, 2))); });
  connect(BtnPause, &QPushButton::clicked, this, [this] {
    Plot->SetPaused(!Plot->Paused());
    ShowPause();
  });
  connect(BtnCsv, &QPushButton::clicked, this, [this] {
    AskExport(Tr("Exporter en CSV", "Export as CSV"), QStringLiteral("tendance.csv"),
              QStringLiteral("CSV (*.csv)"), &TTrendForm::ExportCsv);
  });
  connect(BtnPng, &QPushButton::clicked, this, [this] {
    AskExport(Tr("Exporter en PNG", "Export as PNG"), QStringLiteral("tendance.png"),
              QStringLiteral("PNG (*.png)"), &TTrendForm::ExportPng);
  });
  connect(Plot, &TTrend::PointerText, LbPointer, &QLabel::setText);

  connect(&ZOL, &TZOL::StateUpdated, this,
          [this](const TZOLModel &Snapshot) { AddState(Snapshot, NowMs()); });
  connect(&ZOL, &TZOL::Alarm1Updated, this, [this](const TZOLModel &Snapshot) {
    Plot->SetBand(0, BandOfAlarm(Snapshot.Settings.Alarm1), NowMs());
  });
  connect(&ZOL, &TZOL::Alarm2Updated, this, [this](const TZOLModel &Snapshot) {
    Plot->SetBand(1, BandOfAlarm(Snapshot.Settings.Alarm2), NowMs());
  });
}

void TTrendForm::ShowPause() {
  BtnPause->setText(Plot->Paused() ? Tr("Reprendre", "Resume") : Tr("Pause", "Pause"));
}

void TTrendForm::AddState(const TZOLModel &Snapshot, std::int64_t TimeMs) {
  const bool Failed = IsSensorFailureMeasure(Snapshot.Measure);
  Plot->AddSample({TimeMs, !Failed, Failed ? 0.0 : static_cast<double>(Snapshot.Measure),
                   Snapshot.Relay1, Snapshot.Relay2});
  if (FCount > 0) {
    const TStateRow &Last = FRows[(FNext + kRows - 1) % kRows];
    if (TimeMs - Last.TimeMs < kRowMs)
      return;
  }
  FRows[FNext] = StateRowOf(Snapshot, TimeMs);
  FNext = (FNext + 1) % kRows;
  FCount = std::min(FCount + 1, kRows);
}

QByteArray TTrendForm::CsvText() const {
  const std::int64_t End = Plot->EndMs();
  const std::int64_t Start = End - SpanMs(Plot->Span());
  std::string Text = StateCsvHeader();
  for (std::size_t i = 0; i < FCount; ++i) {
    const TStateRow &Row = FRows[(FNext + kRows - FCount + i) % kRows];
    if (Row.TimeMs >= Start && Row.TimeMs < End)
      Text += StateCsvLine(Row);
  }
  return QByteArray::fromStdString(Text);
}

bool TTrendForm::ExportCsv(const QString &Path, QString &Reason) const {
  return WriteWhole(Path, CsvText(), Reason);
}

bool TTrendForm::ExportPng(const QString &Path, QString &Reason) const {
  QByteArray Data;
  QBuffer Buffer(&Data);
  Buffer.open(QIODevice::WriteOnly);
  if (!Plot->grab().toImage().save(&Buffer, "PNG")) {
    Reason = Tr("l'image n'a pas pu être faite", "the picture could not be made");
    return false;
  }
  return WriteWhole(Path, Data, Reason);
}

void TTrendForm::AskExport(const QString &Title, const QString &Name, const QString &Filter,
                           bool (TTrendForm::*Export)(const QString &, QString &) const) {
  const QString Path = QFileDialog::getSaveFileName(this, Title, Name, Filter);
  if (Path.isEmpty())
    return;
  QString Reason;
  if (!(this->*Export)(Path, Reason))
    QMessageBox::warning(this, windowTitle(),
                         Tr("Impossible d'écrire ", "Cannot write ") + Path + " : " + Reason);
}

TTrendForm *InstallTrend(TZOL &ZOL, QWidget *MeasurePage, QWidget *Owner) {
  auto *Form = new TTrendForm(ZOL, Owner);
  // Between the second alarm (down to 249) and the damping value (from 280).
  AddOpeningButton(ZOL, MeasurePage, Form, Tr("Tendance", "Trend"), "BtnTrend",
                   QRect(161, 253, 80, 23));
  return Form;
}

} // namespace zol
