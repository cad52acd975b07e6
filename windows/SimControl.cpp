#include "windows/SimControl.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QVBoxLayout>

#include <array>
#include <cstdint>

#include "protocol/Utils.h"
#include "sim/Faults.h"
#include "sim/SimPlatform.h"
#include "windows/Language.h"
#include "windows/ZOLCFG.h"

namespace zol {

namespace {

/// Seeds of the drawn losses and corruptions: the same demonstration each time.
constexpr std::uint32_t kDropSeed = 1;
constexpr std::uint32_t kCorruptSeed = 2;

QCheckBox *Check(const char *French, const char *English, QWidget *Parent) {
  return new QCheckBox(Tr(French, English), Parent);
}

QSpinBox *Spin(int Min, int Max, const QString &Suffix, QWidget *Parent) {
  auto *Box = new QSpinBox(Parent);
  Box->setRange(Min, Max);
  Box->setSuffix(Suffix);
  return Box;
}

} // namespace

TSimControlForm::TSimControlForm(SimPlatform &Platform, QWidget *Parent)
    : QWidget(Parent), FPlatform(Platform) {
  setWindowTitle(Tr("Instrument simulé", "Simulated instrument"));
  setAttribute(Qt::WA_QuitOnClose, false);
  auto *Layout = new QVBoxLayout(this);

  auto *Top = new QFormLayout;
  CbInstrument = new QComboBox(this);
  Top->addRow(Tr("Instrument :", "Instrument:"), CbInstrument);
  Layout->addLayout(Top);

  auto *Usb = new QGroupBox(Tr("USB", "USB"), this);
  auto *UsbLayout = new QVBoxLayout(Usb);
  CkPresent = Check("Branché", "Plugged in", Usb);
  CkSecond = Check("Deuxième instrument branché", "Second instrument plugged in", Usb);
  UsbLayout->addWidget(CkPresent);
  UsbLayout->addWidget(CkSecond);
  // As without the udev rule: listed by the system, refused when opened.
  CkPermissionDenied =
      Check("Accès refusé (sans la règle udev)", "Access denied (no udev rule)", Usb);
  UsbLayout->addWidget(CkPermissionDenied);
  Layout->addWidget(Usb);

  auto *Measure = new QGroupBox(Tr("Mesure", "Measure"), this);
  auto *MeasureLayout = new QFormLayout(Measure);
  CkDrift = Check("Dérive lente", "Slow drift", Measure);
  SlTemperature = new QSlider(Qt::Horizontal, Measure);
  SlTemperature->setRange(-500, 1500); // tenths of °C
  LbTemperature = new QLabel(Measure);
  LbTemperature->setMinimumWidth(64);
  auto *Row = new QHBoxLayout;
  Row->addWidget(SlTemperature);
  Row->addWidget(LbTemperature);
  MeasureLayout->addRow(CkDrift);
  MeasureLayout->addRow(Tr("Température", "Temperature"), Row);
  CkSensorFailure = Check("Défaut capteur", "Sensor failure", Measure);
  MeasureLayout->addRow(CkSensorFailure);
  Layout->addWidget(Measure);

  auto *Lock = new QGroupBox(Tr("Mot de passe", "Password"), this);
  auto *LockLayout = new QHBoxLayout(Lock);
  EdPassword = new QLineEdit(Lock);
  EdPassword->setMaxLength(8);
  EdPassword->setPlaceholderText(QStringLiteral("SECRET"));
  BtnLock = new QPushButton(Tr("Verrouiller", "Lock"), Lock);
  BtnNoPassword = new QPushButton(Tr("Sans mot de passe", "No password"), Lock);
  LockLayout->addWidget(EdPassword);
  LockLayout->addWidget(BtnLock);
  LockLayout->addWidget(BtnNoPassword);
  Layout->addWidget(Lock);

  auto *Faults = new QGroupBox(Tr("Liaison", "Link"), this);
  auto *FaultsLayout = new QFormLayout(Faults);
  CkErrorAnswers = Check("Réponses d'erreur", "Error answers", Faults);
  // The ranges of the faults of the same name (sim/Faults.h): shares in percent, the period in ms.
  const auto Range = [Faults](TSimFaultKind Kind, double Scale, const QString &Suffix) {
    const TSimFaultInfo &f = SimFaultInfo(Kind);
    return Spin(static_cast<int>(f.Min * Scale), static_cast<int>(f.Max * Scale), Suffix, Faults);
  };
  SpDropShare = Range(TSimFaultKind::Drop, 100, QStringLiteral(" %"));
  SpCorruptShare = Range(TSimFaultKind::Corrupt, 100, QStringLiteral(" %"));
  SpReportPeriod = Range(TSimFaultKind::Slow, 1, QStringLiteral(" ms"));
  FaultsLayout->addRow(CkErrorAnswers);
  FaultsLayout->addRow(Tr("Commandes perdues", "Commands lost"), SpDropShare);
  FaultsLayout->addRow(Tr("Rapports corrompus", "Reports corrupted"), SpCorruptShare);
  FaultsLayout->addRow(Tr("Période des rapports", "Report period"), SpReportPeriod);
  Layout->addWidget(Faults);

  CkMakerTab = Check("Onglet du fabricant", "Maker's tab", this);
  Layout->addWidget(CkMakerTab);
  LbStatus = new QLabel(this);
  LbStatus->setWordWrap(true);
  Layout->addWidget(LbStatus);

  // Every control acts on the chosen instrument at once.
  connect(CbInstrument, &QComboBox::currentIndexChanged, this, [this] { ShowChosen(); });
  connect(CkPresent, &QCheckBox::toggled, this, [this](bool On) {
    if (auto Instrument = Chosen(); Instrument && !FFilling)
      Instrument->SetPresent(On);
    ShowStatus();
  });
  connect(CkSecond, &QCheckBox::toggled, this, [this](bool On) {
    if (!FFilling)
      PlugSecond(On);
  });
  connect(CkPermissionDenied, &QCheckBox::toggled, this, [this](bool On) {
    if (auto Instrument = Chosen(); Instrument && !FFilling) {
      Instrument->SetPermissionDenied(On);
      FSettings[ChosenIndex()].PermissionDenied = On;
    }
  });
  connect(CkDrift, &QCheckBox::toggled, this, [this] { ApplyTemperature(); });
  connect(SlTemperature, &QSlider::valueChanged, this, [this] { ApplyTemperature(); });
  connect(CkSensorFailure, &QCheckBox::toggled, this, [this](bool On) {
    if (auto Instrument = Chosen(); Instrument && !FFilling) {
      Instrument->SetSensorFailure(On);
      FSettings[ChosenIndex()].SensorFailure = On;
    }
  });
  connect(CkErrorAnswers, &QCheckBox::toggled, this, [this](bool On) {
    if (auto Instrument = Chosen(); Instrument && !FFilling) {
      Instrument->SetErrorAnswers(On);
      FSettings[ChosenIndex()].ErrorAnswers = On;
    }
  });
  connect(SpDropShare, &QSpinBox::valueChanged, this, [this](int Percent) {
    if (auto Instrument = Chosen(); Instrument && !FFilling) {
      Instrument->SetDropShare(Percent / 100.0, kDropSeed);
      FSettings[ChosenIndex()].DropPercent = Percent;
    }
  });
  connect(SpCorruptShare, &QSpinBox::valueChanged, this, [this](int Percent) {
    if (auto Instrument = Chosen(); Instrument && !FFilling) {
      Instrument->SetCorruptShare(Percent / 100.0, kCorruptSeed);
      FSettings[ChosenIndex()].CorruptPercent = Percent;
    }
  });
  connect(SpReportPeriod, &QSpinBox::valueChanged, this, [this](int Ms) {
    if (auto Instrument = Chosen(); Instrument && !FFilling)
      Instrument->SetReportPeriod(Ms);
  });
  connect(BtnLock, &QPushButton::clicked, this, [this] {
    if (!LockWith(EdPassword->text()))
      LbStatus->setText(Tr("Mot de passe impossible : 8 caractères au plus, majuscules, chiffres "
                           "et signes.",
                           "Impossible password: at most 8 characters, capitals, digits and "
                           "signs."));
  });
  connect(BtnNoPassword, &QPushButton::clicked, this, [this] {
    EdPassword->clear();
    LockWith(QString());
  });
  connect(CkMakerTab, &QCheckBox::toggled, this, [](bool On) { ShowMakerTab(On); });

  // The lock and the presence can also change from the configurator (unlock, password change).
  auto *Refresh = new QTimer(this);
  connect(Refresh, &QTimer::timeout, this, [this] { ShowStatus(); });
  Refresh->start(250);

  FillInstruments();
}

TSimControlForm::~TSimControlForm() = default;

std::shared_ptr<VirtualRW8> TSimControlForm::Chosen() const {
  return FPlatform.Instrument(ChosenIndex());
}

int TSimControlForm::ChosenIndex() const {
  return CbInstrument->currentIndex() < 0 ? -1 : CbInstrument->currentData().toInt();
}

void TSimControlForm::FillInstruments() {
  const int Was = ChosenIndex();
  FFilling = true;
  CbInstrument->clear();
  for (int i = 0; i < FPlatform.InstrumentCount(); ++i)
    if (auto Instrument = FPlatform.Instrument(i))
      CbInstrument->addItem(QStringLiteral("sim:%1  %2")
                                .arg(i)
                                .arg(QString::fromStdString(Instrument->SerialNumber())),
                            i);
  const int Again = CbInstrument->findData(Was);
  CbInstrument->setCurrentIndex(Again >= 0 ? Again : 0);
  CkSecond->setChecked(FSecond >= 0);
  FFilling = false;
  ShowChosen();
}

void TSimControlForm::ShowChosen() {
  const auto Instrument = Chosen();
  FFilling = true;
  const TSettings &Settings = FSettings[ChosenIndex()];
  CkPresent->setChecked(Instrument && Instrument->LinkState().Present);
  CkDrift->setChecked(Settings.Drift);
  SlTemperature->setValue(Settings.TemperatureTenths);
  SlTemperature->setEnabled(!Settings.Drift);
  LbTemperature->setText(QStringLiteral("%1 °C").arg(Settings.TemperatureTenths / 10.0, 0, 'f', 1));
  CkSensorFailure->setChecked(Settings.SensorFailure);
  CkErrorAnswers->setChecked(Settings.ErrorAnswers);
  CkPermissionDenied->setChecked(Settings.PermissionDenied);
  SpDropShare->setValue(Settings.DropPercent);
  SpCorruptShare->setValue(Settings.CorruptPercent);
  SpReportPeriod->setValue(Instrument ? Instrument->LinkState().ReportPeriod : 10);
  FFilling = false;
  for (QWidget *Control : std::initializer_list<QWidget *>{
           CkPresent, CkPermissionDenied, CkDrift, SlTemperature, CkSensorFailure, CkErrorAnswers,
           EdPassword, BtnLock, BtnNoPassword, SpDropShare, SpCorruptShare, SpReportPeriod})
    Control->setEnabled(Instrument != nullptr && (Control != SlTemperature || !Settings.Drift));
  ShowStatus();
}

void TSimControlForm::PlugSecond(bool Plugged) {
  if (Plugged && FSecond < 0) {
    const int Next = FPlatform.InstrumentCount();
    TVirtualRW8Options Options = SimPlatform::OptionsFor(Next, {});
    if (auto First = FPlatform.Instrument(0))
      Options.ReportPeriodMs = First->LinkState().ReportPeriod;
    FSecond = FPlatform.AddInstrument(Options);
  } else if (!Plugged && FSecond >= 0) {
    FPlatform.RemoveInstrument(FSecond);
    FSettings.erase(FSecond);
    FSecond = -1;
  }
  FillInstruments();
}

void TSimControlForm::ApplyTemperature() {
  if (FFilling)
    return;
  TSettings &Settings = FSettings[ChosenIndex()];
  Settings.Drift = CkDrift->isChecked();
  Settings.TemperatureTenths = SlTemperature->value();
  SlTemperature->setEnabled(!Settings.Drift);
  LbTemperature->setText(QStringLiteral("%1 °C").arg(Settings.TemperatureTenths / 10.0, 0, 'f', 1));
  if (auto Instrument = Chosen()) {
    if (Settings.Drift)
      Instrument->SetTemperature(std::nullopt);
    else
      Instrument->SetTemperature(static_cast<float>(Settings.TemperatureTenths) / 10.0f);
  }
}

void TSimControlForm::ShowStatus() {
  const auto Instrument = Chosen();
  if (!Instrument) {
    LbStatus->setText(Tr("Aucun instrument.", "No instrument."));
    return;
  }
  if (CkPresent->isChecked() != Instrument->LinkState().Present) {
    FFilling = true;
    CkPresent->setChecked(Instrument->LinkState().Present);
    FFilling = false;
  }
  const bool Locked = Instrument->Snapshot().WriteLocked;
  LbStatus->setText((Instrument->LinkState().Present ? Tr("Branché", "Plugged in")
                                                     : Tr("Débranché", "Unplugged")) +
                    QStringLiteral(", ") +
                    (Locked ? Tr("verrouillé", "locked") : Tr("déverrouillé", "unlocked")) +
                    QStringLiteral(", ") +
                    Tr("mesure %1 °C", "measure %1 °C")
                        .arg(Instrument->Snapshot().MeasureTenths / 10.0, 0, 'f', 1));
}

void TSimControlForm::Send(VirtualRW8 &Instrument, std::uint8_t Code, const std::string &Eight) {
  std::array<std::uint8_t, kCommandLength> Frame{};
  Frame[CommandOffset::Code] = Code;
  const auto Packed = PackEight(Eight);
  std::copy(Packed.begin(), Packed.end(), Frame.begin() + CommandOffset::Params);
  Frame[CommandOffset::Checksum] = FrameChecksum(Frame.data(), kCommandLength);
  Instrument.ReceiveCommand(Frame.data());
}

bool TSimControlForm::LockWith(const QString &Password) {
  const auto Instrument = Chosen();
  const QByteArray Latin = Password.toUpper().toLatin1();
  std::string Eight(Latin.constData(), static_cast<std::size_t>(Latin.size()));
  if (!Instrument || Eight.size() > 8)
    return false;
  Eight.resize(8, ' ');
  if (!IsPackable(Eight))
    return false;
  // As the instrument's owner would: unlock with the password in force, change it, restart
  // the instrument (a restart locks it again while the password is not blank).
  Send(*Instrument, CodeOf(TCommand::Unlock), Instrument->Snapshot().Password);
  Send(*Instrument, CodeOf(TCommand::ChangePassword), Eight);
  Send(*Instrument, CodeOf(TCommand::Reset), std::string(8, ' '));
  // Back to state answers, which carry the lock to the configurator.
  Send(*Instrument, CodeOf(TCommand::ReadState), std::string(8, ' '));
  ShowStatus();
  return Instrument->Snapshot().Password == Eight;
}

} // namespace zol
