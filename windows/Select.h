#pragma once

#include <QDialog>
#include <QList>
#include <QStringList>

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
  explicit TSelectForm(QWidget *parent = nullptr);
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

} // namespace zol
