#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>

namespace zol {

/// One of the indicator pictures by name ("LEDRON", "LEDROFF", "LEDVON", "LEDVOFF", "CT1", "CT2",
/// "CTD"), with the colour of its bottom-left pixel made transparent; null for an unknown name.
QPixmap LoadPicture(const QString &Name);

/// A 16 × 16 indicator lamp, red or green, lit or dark.
class Tled : public QWidget {
  Q_OBJECT
  Q_PROPERTY(bool LedStatus READ LedStatus WRITE setLedStatus)
  Q_PROPERTY(zol::Tled::TLedKind Kind READ Kind WRITE setKind)

public:
  enum class TLedKind { Red = 0, Green = 1 };
  Q_ENUM(TLedKind)

  explicit Tled(QWidget *Parent = nullptr);

  /// Lamp lit.
  bool LedStatus() const { return FLedStatus; }
  void setLedStatus(bool Value);
  TLedKind Kind() const { return FKind; }
  void setKind(TLedKind Value);
  /// The picture the lamp shows in its present state.
  QString PictureName() const;

  QSize sizeHint() const override;

protected:
  void paintEvent(QPaintEvent *Event) override;
  void hideEvent(QHideEvent *Event) override;

private:
  bool FLedStatus = false;
  TLedKind FKind = TLedKind::Red;
  bool FPaintedVisible = false;
};

using TLedKind = Tled::TLedKind;

} // namespace zol
