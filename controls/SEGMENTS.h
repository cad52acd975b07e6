#pragma once

#include <QWidget>

class QPainter;

namespace zol {

/// A row of slanted seven-segment digits showing a signed integer, in the red LED look or the grey
/// LCD look, with an optional decimal point and leading half digit. Its size follows from its digit
/// count: width 40 × NbDigit + 14 (+ 20 with the half digit), height 52; any other size snaps back.
class TCustomSeg : public QWidget {
  Q_OBJECT

public:
  /// Look of the display: grey segments on light grey, or bright red segments on dark red.
  enum class TStyle { LCD = 0, LED = 1 };
  Q_ENUM(TStyle)

  explicit TCustomSeg(QWidget *Parent = nullptr);

  /// The value shown.
  int Nb() const { return FNb; }
  void setNb(int Value);
  /// Digits right of the decimal point; 0 shows no point.
  int PointDecimal() const { return FPointDecimal; }
  void setPointDecimal(int Value);
  TStyle Style() const { return FStyle; }
  void setStyle(TStyle Value);
  using QWidget::setStyle;
  /// Full digit cells, 1 to 8; other values are ignored.
  int NbDigit() const { return FNbDigit; }
  void setNbDigit(int Value);
  /// One extra narrow cell at the left that can show only a 1.
  bool HalfDigit() const { return FHalfDigit; }
  void setHalfDigit(bool Value);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

protected:
  void paintEvent(QPaintEvent *Event) override;

private:
  void ApplySize();
  bool InRange() const;
  int CellX(int Cell) const;
  void DrawBits(QPainter &Painter, int X, int Y, unsigned Bits) const;
  void DrawChar(QPainter &Painter, int Cell, int Key) const;

  int FNb = 0;
  int FPointDecimal = 0;
  TStyle FStyle = TStyle::LED;
  int FNbDigit = 4;
  bool FHalfDigit = false;
};

using TStyle = TCustomSeg::TStyle;

/// The seven-segment display as the windows place it: TCustomSeg with its properties published,
/// so that window descriptions can set them.
class TSEG : public TCustomSeg {
  Q_OBJECT
  Q_PROPERTY(int Nb READ Nb WRITE setNb)
  Q_PROPERTY(int PointDecimal READ PointDecimal WRITE setPointDecimal)
  Q_PROPERTY(zol::TCustomSeg::TStyle Style READ Style WRITE setStyle)
  Q_PROPERTY(int NbDigit READ NbDigit WRITE setNbDigit)
  Q_PROPERTY(bool HalfDigit READ HalfDigit WRITE setHalfDigit)

public:
  explicit TSEG(QWidget *Parent = nullptr);
};

} // namespace zol
