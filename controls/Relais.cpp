#include "controls/Relais.h"

#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include "controls/Led.h"

namespace zol {

namespace {
constexpr int kRelaisSize = 32;
} // namespace

TRelais::TRelais(QWidget *Parent) : QWidget(Parent) {
  resize(kRelaisSize, kRelaisSize);
}

void TRelais::setStatus(bool Value) {
  if (Value == FStatus)
    return;
  FStatus = Value;
  update();
}

void TRelais::setButtonStyle(bool Value) {
  if (Value == FButtonStyle)
    return;
  FButtonStyle = Value;
  update();
}

QString TRelais::PictureName() const {
  if (FPressed)
    return QStringLiteral("CTD");
  return FStatus ? QStringLiteral("CT2") : QStringLiteral("CT1");
}

QSize TRelais::sizeHint() const {
  return {kRelaisSize, kRelaisSize};
}

void TRelais::paintEvent(QPaintEvent *) {
  QPainter Painter(this);
  Painter.drawPixmap(0, 0, LoadPicture(PictureName()));
  FPaintedVisible = isVisible();
}

void TRelais::hideEvent(QHideEvent *Event) {
  // The contact's area must be redrawn without it, once, by whatever lies behind.
  if (FPaintedVisible) {
    FPaintedVisible = false;
    if (QWidget *Behind = parentWidget())
      Behind->update(geometry());
  }
  QWidget::hideEvent(Event);
}

void TRelais::mousePressEvent(QMouseEvent *Event) {
  if (!FButtonStyle) {
    QWidget::mousePressEvent(Event);
    return;
  }
  MouseHandler(Event);
}

void TRelais::mouseReleaseEvent(QMouseEvent *Event) {
  if (!FButtonStyle) {
    QWidget::mouseReleaseEvent(Event);
    return;
  }
  MouseHandler(Event);
}

void TRelais::MouseHandler(QMouseEvent *Event) {
  // On a press the buttons held include the one just pressed; on a release they no longer
  // include the one released. So the left button held means "pressing", anything else ends it.
  if (Event->buttons() & Qt::LeftButton) {
    FPressed = true;
    update();
    return;
  }
  FPressed = false;
  update();
  const QPoint At = Event->position().toPoint();
  // Releasing outside the contact is how the user changes his mind: nothing flips then.
  if (At.x() > 0 && At.x() < width() && At.y() > 0 && At.y() < height())
    setStatus(!FStatus);
}

} // namespace zol
