#pragma once

#include <QDialog>

#include <memory>

class QLabel;
class QPushButton;

namespace Ui {
class TErrorForm;
}

namespace zol {

/// The hardware error dialog ("Problème materiel"). Created with the other windows; nothing in
/// the program shows it.
class TErrorForm : public QDialog {
  Q_OBJECT

public:
  explicit TErrorForm(QWidget *Parent = nullptr);
  ~TErrorForm() override;

  QLabel *Image2;
  QLabel *Label1;
  QPushButton *Button1;

  /// Closes the dialog.
  void Button1Click();

private:
  std::unique_ptr<Ui::TErrorForm> ui;
};

/// The hardware error dialog of the program.
extern TErrorForm *ErrorForm;

} // namespace zol
