#pragma once

#include <QString>
#include <QWidget>

class QMouseEvent;

namespace zol {

/// A 32 × 32 picture of a changeover relay contact whose lever points to the left terminal
/// (Status false) or the right one (Status true); with ButtonStyle it also toggles when clicked.
class TRelais : public QWidget {
  Q_OBJECT
  Q_PROPERTY(bool Status READ Status WRITE setStatus)
  Q_PROPERTY(bool ButtonStyle READ ButtonStyle WRITE setButtonStyle)

public:
  explicit TRelais(QWidget *Parent = nullptr);

  /// Lever on the right terminal.
  bool Status() const { return FStatus; }
  void setStatus(bool Value);
  /// A left click inside the control toggles Status; without it the mouse is ignored.
  bool ButtonStyle() const { return FButtonStyle; }
  void setButtonStyle(bool Value);
  /// The picture the contact shows in its present state ("CTD" while the left button is held).
  QString PictureName() const;

  QSize sizeHint() const override;

protected:
  void paintEvent(QPaintEvent *Event) override;
  void hideEvent(QHideEvent *Event) override;
  void mousePressEvent(QMouseEvent *Event) override;
  void mouseReleaseEvent(QMouseEvent *Event) override;

private:
  void MouseHandler(QMouseEvent *Event);

  bool FStatus = false;
  bool FButtonStyle = false;
  bool FPressed = false;
  bool FPaintedVisible = false;
};

} // namespace zol
