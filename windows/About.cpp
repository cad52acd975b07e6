#include "windows/About.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>

#include "ui_About.h"
#include "windows/Look.h"
#include "windows/SingleInstance.h"

namespace zol {

TAboutBox *AboutBox = nullptr;

const QString TAboutBox::kCreditLine = QStringLiteral("Par l'équipe ZOLCFG");

TAboutBox::TAboutBox(QWidget *Parent) : QDialog(Parent), ui(std::make_unique<Ui::TAboutBox>()) {
  InitPictures();
  ui->setupUi(this);
  Panel1 = ui->Panel1;
  ProductName = ui->ProductName;
  Version = ui->Version;
  Programmeur = ui->Programmeur;
  Systeme = ui->Systeme;
  VersionWin = ui->VersionWin;
  OKButton = ui->OKButton;

  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(265, 217);
  setAttribute(Qt::WA_QuitOnClose, false);

  setFont(PixelFont("MS Sans Serif", 11, QFont::SansSerif));
  QPalette Black = palette();
  Black.setColor(QPalette::WindowText, Qt::black);
  setPalette(Black);
  ui->LbMaker->setFont(PixelFont("Times New Roman", 21, QFont::Serif, true));
  ProductName->setFont(PixelFont("MS Sans Serif", 11, QFont::SansSerif, true));
  Programmeur->setFixedSize(168, 17);

  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
}

TAboutBox::~TAboutBox() = default;

void TAboutBox::showEvent(QShowEvent *Event) {
  if (!Event->spontaneous())
    FormShow();
  QDialog::showEvent(Event);
}

void TAboutBox::FormShow() {
  ShowSystem(QuerySystemVersion());
}

void TAboutBox::ShowSystem(const TSystemVersion &Running) {
  setWindowTitle(QStringLiteral("A propos de ..."));
  ProductName->setText(QStringLiteral("ZOLCFG - Français"));
  Version->setText(QStringLiteral("Version : 1.04"));
  Programmeur->setText(kCreditLine);
  Systeme->setText(SystemText(Running, Systeme->text()));
  VersionWin->setText(VersionText(Running));
}

QString TAboutBox::SystemText(const TSystemVersion &Running, const QString &Current) {
  switch (Running.PlatformId) {
  case 0:
    return QStringLiteral("Microsoft Windows 3.1/Win32s");
  case 1:
    return QStringLiteral("Microsoft Windows 95/98/Millenium");
  case 2:
    return QStringLiteral("Microsoft Windows NT/2000/XP/Vista/Seven");
  default:
    return Running.Name.isEmpty() ? Current : Running.Name;
  }
}

QString TAboutBox::VersionText(const TSystemVersion &Running) {
  return QStringLiteral("Version n° : %1.%2.%3 %4")
      .arg(Running.Major)
      .arg(Running.Minor)
      .arg(Running.Build & 0xFFFFu)
      .arg(Running.ServicePack);
}

} // namespace zol
