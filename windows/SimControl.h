#pragma once

#include <QWidget>

#include <map>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;

namespace zol {

class SimPlatform;
class VirtualRW8;

/// The demo's window "Instrument simulé": drives the simulated instruments while the
/// configurator runs beside it. Every control acts at once on the instrument chosen at the top;
/// the configurator sees the change in the next report.
class TSimControlForm : public QWidget {
  Q_OBJECT

public:
  explicit TSimControlForm(SimPlatform &Platform, QWidget *Parent = nullptr);
  ~TSimControlForm() override;

  // The controls, for the tests and the screenshots.
  QComboBox *CbInstrument;
  QCheckBox *CkPresent;
  QCheckBox *CkSecond;
  QCheckBox *CkPermissionDenied;
  QCheckBox *CkDrift;
  QSlider *SlTemperature;
  QLabel *LbTemperature;
  QCheckBox *CkSensorFailure;
  QCheckBox *CkErrorAnswers;
  QLineEdit *EdPassword;
  QPushButton *BtnLock;
  QPushButton *BtnNoPassword;
  QSpinBox *SpDropShare;
  QSpinBox *SpCorruptShare;
  QSpinBox *SpReportPeriod;
  QCheckBox *CkMakerTab;
  QLabel *LbStatus;

  /// Locks the chosen instrument with Password (up to 8 characters the instrument can store;
  /// blank: no password, unlocked), as a user of the instrument would: unlock with the present
  /// password, change it, restart the instrument. False when Password cannot be stored.
  bool LockWith(const QString &Password);

private:
  /// What the window set on one instrument (the instrument does not tell all of it back).
  struct TSettings {
    bool SensorFailure = false;
    bool ErrorAnswers = false;
    bool PermissionDenied = false;
    bool Drift = true;
    int TemperatureTenths = 215;
    int DropPercent = 0;
    int CorruptPercent = 0;
  };

  std::shared_ptr<VirtualRW8> Chosen() const;
  int ChosenIndex() const;
  void FillInstruments();
  void ShowChosen();
  void PlugSecond(bool Plugged);
  void ApplyTemperature();
  void ShowStatus();
  void Send(VirtualRW8 &Instrument, std::uint8_t Code, const std::string &Eight);

  SimPlatform &FPlatform;
  std::map<int, TSettings> FSettings;
  int FSecond = -1;
  /// True while the controls are filled from an instrument (no action then).
  bool FFilling = false;
};

} // namespace zol
