#include "controls/Led.h"

#include <QBitmap>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmapCache>

// Outside any namespace, as the resource initialiser requires: the pictures live in a static
// library, whose resource object the linker would otherwise leave out.
static void InitControlsResources() {
  Q_INIT_RESOURCE(controls);
}

namespace zol {

namespace {
constexpr int kLedSize = 16;
} // namespace

QPixmap LoadPicture(const QString &Name) {
  static const bool ResourcesReady = (InitControlsResources(), true);
  (void)ResourcesReady;

  const QString Key = QStringLiteral("zol-picture-") + Name;
  QPixmap Picture;
  if (QPixmapCache::find(Key, &Picture))
    return Picture;
  QImage Image(QStringLiteral(":/pictures/") + Name);
  if (Image.isNull())
    return {};
  const QColor Transparent = Image.pixelColor(0, Image.height() - 1);
  Picture = QPixmap::fromImage(Image);
  Picture.setMask(
      QBitmap::fromImage(Image.createMaskFromColor(Transparent.rgb(), Qt::MaskInColor)));
  QPixmapCache::insert(Key, Picture);
  return Picture;
}

Tled::Tled(QWidget *Parent) : QWidget(Parent) {
  resize(kLedSize, kLedSize);
}

void Tled::setLedStatus(bool Value) {
  if (Value == FLedStatus)
    return;
  FLedStatus = Value;
  update();
}

void Tled::setKind(TLedKind Value) {
  if (Value == FKind)
    return;
  FKind = Value;
  update();
}

QString Tled::PictureName() const {
  if (FKind == TLedKind::Green)
    return FLedStatus ? QStringLiteral("LEDVON") : QStringLiteral("LEDVOFF");
  return FLedStatus ? QStringLiteral("LEDRON") : QStringLiteral("LEDROFF");
}

QSize Tled::sizeHint() const {
  return {kLedSize, kLedSize};
}

void Tled::paintEvent(QPaintEvent *) {
  QPainter Painter(this);
  Painter.drawPixmap(0, 0, LoadPicture(PictureName()));
  FPaintedVisible = isVisible();
}

void Tled::hideEvent(QHideEvent *Event) {
  // The lamp's area must be redrawn without it, once, by whatever lies behind.
  if (FPaintedVisible) {
    FPaintedVisible = false;
    if (QWidget *Behind = parentWidget())
      Behind->update(geometry());
  }
  QWidget::hideEvent(Event);
}

} // namespace zol
