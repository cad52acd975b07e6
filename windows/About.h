#pragma once

#include <QDialog>

#include <memory>

class QFrame;
class QLabel;
class QPushButton;

namespace Ui {
class TAboutBox;
}

namespace zol {

struct TSystemVersion;

/// The about box: the program, its version, its programmers and the running system.
class TAboutBox : public QDialog {
  Q_OBJECT

public:
  explicit TAboutBox(QWidget *Parent = nullptr);
  ~TAboutBox() override;

  QFrame *Panel1;
  QLabel *ProductName;
  QLabel *Version;
  QLabel *Programmeur;
  QLabel *Systeme;
  QLabel *VersionWin;
  QPushButton *OKButton;

  /// Fills the labels from the running system (run at every showing).
  void FormShow();
  /// Fills the labels from Running (what FormShow does with the system's answer).
  void ShowSystem(const TSystemVersion &Running);

  /// Text of Systeme for Running; Current when the system tells neither a known platform nor
  /// a name of its own.
  static QString SystemText(const TSystemVersion &Running, const QString &Current);
  /// "Version n° : major.minor.build service-pack": the low 16 bits of the build number.
  static QString VersionText(const TSystemVersion &Running);
  /// The programmer credit line.
  static const QString kCreditLine;

protected:
  void showEvent(QShowEvent *Event) override;

private:
  std::unique_ptr<Ui::TAboutBox> ui;
};

/// The about box of the program.
extern TAboutBox *AboutBox;

} // namespace zol
