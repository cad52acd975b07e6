#include "windows/Look.h"

#include <QPushButton>
#include <QRect>

#include <QString>

#include "windows/TZOL.h"

// At global scope: the resource's initialiser is declared where the macro is used.
static void InitWindowsResource() {
  Q_INIT_RESOURCE(windows);
}

namespace zol {

QFont PixelFont(const char *Family, int PixelSize, QFont::StyleHint Hint, bool Bold) {
  QFont Font(QString::fromLatin1(Family));
  Font.setPixelSize(PixelSize);
  Font.setBold(Bold);
  Font.setStyleHint(Hint); // the nearest font of that kind where the family is missing
  return Font;
}

void InitPictures() {
  InitWindowsResource();
}

void AddOpeningButton(TZOL &ZOL, QWidget *Page, QWidget *Window, const QString &Caption,
                      const char *Name, const QRect &Geometry) {
  auto *Button = new QPushButton(Caption, Page);
  Button->setObjectName(QString::fromLatin1(Name));
  Button->setGeometry(Geometry);
  Button->setEnabled(false);
  QObject::connect(&ZOL, &TZOL::Connected, Button, [Button] { Button->setEnabled(true); });
  QObject::connect(&ZOL, &TZOL::Disconnected, Button, [Button] { Button->setEnabled(false); });
  QObject::connect(Button, &QPushButton::clicked, Window, [Window] {
    Window->show();
    Window->raise();
    Window->activateWindow();
  });
}

} // namespace zol
