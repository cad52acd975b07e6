#pragma once

#include <QDialog>
#include <QList>
#include <QStringList>

#include <cstdint>
#include <memory>

class QButtonGroup;
class QGroupBox;
class QPushButton;
class QRadioButton;
class QVBoxLayout;

namespace Ui {
class TSelectForm;
}

namespace zol {

/// The selection dialog: one line per instrument a scan found; the caller reads the line
/// selected when the dialog has closed, however it was closed.
class TSelectForm : public QDialog {
  Q_OBJECT

public:
  explicit TSelectForm(QWidget *Parent = nullptr);
  ~TSelectForm() override;

  /// Replaces the lines of the radio group and selects line Selected (none when out of range).
  void SetItems(const QStringList &Lines, int Selected);
  /// The line selected now, 0 for the first; -1 when none is.
  int ItemIndex() const;
  /// Selects line Index (none when out of range).
  void SetItemIndex(int Index);
  /// The lines of the radio group.
  QStringList Items() const;

  QGroupBox *GrRdSelect;
  QPushButton *BtnOK;

  /// Closes the dialog; the selected line is the caller's to read.
  void BtnOKClick();

private:
  std::unique_ptr<Ui::TSelectForm> ui;
  QButtonGroup *FGroup;
  QVBoxLayout *FLines;
  QList<QRadioButton *> FButtons;
};

/// The selection dialog of the program.
extern TSelectForm *SelectForm;

class HidPlatform;

/// The instruments (vendor Vid, product Pid) the system lists but will not let this program
/// open, each as "path: reason". Opens each to find out: call it when none is open.
QStringList UnopenableLines(HidPlatform &Platform, std::uint16_t Vid, std::uint16_t Pid);
/// What the window says after a scan that found no instrument but saw Unopenable: which ones
/// and why, the udev rule and the command that installs it (or reloads it when installed).
QString UnopenableMessage(const QStringList &Unopenable);

} // namespace zol
