#include "windows/Look.h"

#include <QString>

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

} // namespace zol
