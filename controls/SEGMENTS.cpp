#include "controls/SEGMENTS.h"

#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace zol {

namespace {

constexpr int kHeight = 52;
constexpr int kCellPitch = 40;
constexpr int kCellLeft = 8;
constexpr int kCellTop = 5;
constexpr int kSideMargin = 14;
constexpr int kHalfDigitWidth = 20;
constexpr int kPenWidth = 4;
constexpr int kMinDigits = 1;
constexpr int kMaxDigits = 8;

constexpr unsigned kPointBit = 0x80;
constexpr int kMinusKey = -3;
constexpr int kKeyD = 10;
constexpr int kKeyE = 11;
constexpr int kKeyP = 12;

/// One segment as a line relative to the cell origin; the digit leans to the right.
struct TSegmentLine {
  int X1, Y1, X2, Y2;
};

/// Segments a to g, bits 0 to 6 of a glyph byte.
constexpr TSegmentLine kSegments[] = {
    {12, 0, 36, 0},   // a, top
    {32, 18, 36, 2},  // b, upper right
    {28, 38, 32, 22}, // c, lower right
    {4, 40, 28, 40},  // d, bottom
    {2, 38, 6, 22},   // e, lower left
    {6, 18, 10, 2},   // f, upper left
    {8, 20, 32, 20},  // g, middle
};

struct TGlyph {
  int Key;
  std::uint8_t Bits;
};

/// Digits 0 to 9, then d, E, P and the minus sign; a key that is not here draws nothing.
constexpr TGlyph kGlyphs[] = {
    {0, 0x3F}, {1, 0x06}, {2, 0x5B}, {3, 0x4F},     {4, 0x66},     {5, 0x6D},     {6, 0x7D},
    {7, 0x07}, {8, 0x7F}, {9, 0x6F}, {kKeyD, 0x5E}, {kKeyE, 0x79}, {kKeyP, 0x73}, {kMinusKey, 0x40},
};

struct TColours {
  QColor Face;
  QColor Segment;
};

TColours ColoursOf(TStyle Style) {
  if (Style == TStyle::LCD)
    return {QColor(223, 223, 223), QColor(128, 128, 128)};
  return {QColor(128, 0, 0), QColor(255, 0, 0)};
}

qint64 PowerOfTen(int Exponent) {
  qint64 Result = 1;
  for (int i = 0; i < Exponent; ++i)
    Result *= 10;
  return Result;
}

} // namespace

TCustomSeg::TCustomSeg(QWidget *Parent) : QWidget(Parent) {
  ApplySize();
}

void TCustomSeg::setNb(int Value) {
  if (Value == FNb)
    return;
  FNb = Value;
  update();
}

void TCustomSeg::setPointDecimal(int Value) {
  if (Value == FPointDecimal)
    return;
  FPointDecimal = Value;
  update();
}

void TCustomSeg::setStyle(TStyle Value) {
  if (Value == FStyle)
    return;
  FStyle = Value;
  update();
}

void TCustomSeg::setNbDigit(int Value) {
  if (Value < kMinDigits || Value > kMaxDigits || Value == FNbDigit)
    return;
  FNbDigit = Value;
  ApplySize();
  update();
}

void TCustomSeg::setHalfDigit(bool Value) {
  if (Value == FHalfDigit)
    return;
  FHalfDigit = Value;
  ApplySize();
  update();
}

QSize TCustomSeg::sizeHint() const {
  return {kCellPitch * FNbDigit + kSideMargin + (FHalfDigit ? kHalfDigitWidth : 0), kHeight};
}

QSize TCustomSeg::minimumSizeHint() const {
  return sizeHint();
}

void TCustomSeg::ApplySize() {
  // A fixed size makes every later resize, from code, a layout or a window description, snap back.
  setFixedSize(sizeHint());
  updateGeometry();
}

bool TCustomSeg::InRange() const {
  const qint64 Value = FNb;
  if (FHalfDigit) {
    const qint64 Limit = 2 * PowerOfTen(FNbDigit) - 1;
    return Value >= -Limit && Value <= Limit;
  }
  return Value >= -(PowerOfTen(FNbDigit - 1) - 1) && Value <= PowerOfTen(FNbDigit) - 1;
}

int TCustomSeg::CellX(int Cell) const {
  return kCellLeft + kCellPitch * (FNbDigit - Cell) + (FHalfDigit ? kHalfDigitWidth : 0);
}

void TCustomSeg::DrawBits(QPainter &Painter, int X, int Y, unsigned Bits) const {
  for (int Bit = 0; Bit < static_cast<int>(std::size(kSegments)); ++Bit) {
    if ((Bits & (1u << Bit)) == 0)
      continue;
    const TSegmentLine &S = kSegments[Bit];
    Painter.drawLine(X + S.X1, Y + S.Y1, X + S.X2, Y + S.Y2);
  }
  if (Bits & kPointBit)
    Painter.drawEllipse(QRectF(X + 2, Y + 38, 4, 4));
}

void TCustomSeg::DrawChar(QPainter &Painter, int Cell, int Key) const {
  const auto *Glyph = std::find_if(std::begin(kGlyphs), std::end(kGlyphs),
                                   [Key](const TGlyph &G) { return G.Key == Key; });
  if (Glyph != std::end(kGlyphs))
    DrawBits(Painter, CellX(Cell), kCellTop, Glyph->Bits);
}

void TCustomSeg::paintEvent(QPaintEvent *) {
  const TColours Colours = ColoursOf(FStyle);
  QPainter Painter(this);
  Painter.fillRect(rect(), Colours.Face);
  Painter.setPen(QPen(Colours.Segment, kPenWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  Painter.setBrush(Colours.Face);

  const int n = FNbDigit;
  const int h = FHalfDigit ? kHalfDigitWidth : 0;
  if (!InRange()) {
    // Too narrow a display cannot spell the overflow: it stays blank.
    if (n >= 3) {
      DrawChar(Painter, 1, kKeyP);
      DrawChar(Painter, 2, kKeyE);
      DrawChar(Painter, 3, kKeyD);
    }
    return;
  }

  if (FPointDecimal > 0) {
    // Wide in 64 bits: a point more digits to the left than the face holds falls off it, and
    // must not wrap round onto it.
    const qint64 PointX = qint64(kCellPitch) * (n - qint64(FPointDecimal)) + h;
    if (PointX > -kCellPitch)
      DrawBits(Painter, static_cast<int>(PointX), kCellTop, kPointBit);
  }

  // In range, so the absolute value cannot overflow.
  QString Text = QString::number(FNb < 0 ? -qint64(FNb) : qint64(FNb));
  int m = static_cast<int>(Text.size());
  if (FHalfDigit) {
    if (m > n)
      m = n + 1;
  } else if (m > n) {
    m = n;
  }
  // A digit always stands left of the point (5 with one decimal shows 0.5). Zeros further left
  // than the half-digit column would lie off the face, so the padding stops there instead of
  // running on for an absurd PointDecimal.
  const int PadTo = std::min(FPointDecimal, n + 1);
  while (m <= PadTo) {
    Text.prepend(QLatin1Char('0'));
    ++m;
  }
  for (int Cell = 1; Cell <= m; ++Cell)
    DrawChar(Painter, Cell, Text.at(m - Cell).unicode() - u'0');

  if (FNb < 0)
    DrawChar(Painter, m + 1, kMinusKey);
  if (FHalfDigit && FNb < 0)
    Painter.drawLine(8, 25, 16, 25);
}

TSEG::TSEG(QWidget *Parent) : TCustomSeg(Parent) {}

} // namespace zol
