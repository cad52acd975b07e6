#include "controls/SEGMENTS.h"

#include <QCoreApplication>
#include <QPaintEvent>

#include <functional>
#include <map>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/controls/Pixels.h"

namespace zol {
namespace {

using test::ColourAt;
using test::Picture;
using test::Rgb;

/// A segment as a line relative to its digit cell's origin.
struct TLine {
  char Name;
  int X1, Y1, X2, Y2;
};

const TLine kLines[] = {
    {'a', 12, 0, 36, 0}, {'b', 32, 18, 36, 2}, {'c', 28, 38, 32, 22}, {'d', 4, 40, 28, 40},
    {'e', 2, 38, 6, 22}, {'f', 6, 18, 10, 2},  {'g', 8, 20, 32, 20},
};

/// The segments lit for each character a cell can show.
const std::map<char, std::string> kLit = {
    {'0', "abcdef"}, {'1', "bc"},     {'2', "abdeg"}, {'3', "abcdg"},   {'4', "bcfg"},
    {'5', "acdfg"},  {'6', "acdefg"}, {'7', "abc"},   {'8', "abcdefg"}, {'9', "abcdfg"},
    {'d', "bcdeg"},  {'E', "adefg"},  {'P', "abefg"}, {'-', "g"},       {' ', ""},
};

struct TLook {
  std::string Face, Segment;
};

TLook LookOf(TStyle Style) {
  if (Style == TStyle::LED)
    return {Rgb(128, 0, 0), Rgb(255, 0, 0)};
  return {Rgb(223, 223, 223), Rgb(128, 128, 128)};
}

struct TDisplayCase {
  const char *Name;
  TStyle Style;
  int NbDigit;
  bool HalfDigit;
  int PointDecimal;
  int Nb;
  /// What the cells show, left to right: the half-digit cell first when there is one.
  const char *Cells;
  /// The decimal point is lit (at its place for PointDecimal).
  bool Point;
  /// The short dash of the half-digit column is lit.
  bool Dash;
};

void PrintTo(const TDisplayCase &C, std::ostream *Out) {
  *Out << C.Name;
}

class SegmentsDisplay : public ::testing::TestWithParam<TDisplayCase> {};

// Every segment midpoint of every cell, every decimal-point place and the dash are checked: a
// lit one has the segment colour, an unlit one the face colour.
TEST_P(SegmentsDisplay, ShowsTheExpectedSegmentsOnly) {
  const TDisplayCase &C = GetParam();
  TSEG Seg;
  Seg.setStyle(C.Style);
  Seg.setNbDigit(C.NbDigit);
  Seg.setHalfDigit(C.HalfDigit);
  Seg.setPointDecimal(C.PointDecimal);
  Seg.setNb(C.Nb);
  const QImage Image = Picture(Seg);
  const TLook Look = LookOf(C.Style);
  const int n = C.NbDigit;
  const int h = C.HalfDigit ? 20 : 0;
  const std::string Cells = C.Cells;
  ASSERT_EQ(Cells.size(), static_cast<std::size_t>(n + (C.HalfDigit ? 1 : 0)));

  for (int Cell = 1; Cell <= static_cast<int>(Cells.size()); ++Cell) {
    const char Shown = Cells[Cells.size() - Cell];
    ASSERT_TRUE(kLit.count(Shown)) << Shown;
    const int X = 8 + 40 * (n - Cell) + h;
    const int Y = 5;
    const bool HalfCell = Cell == n + 1;
    for (const TLine &L : kLines) {
      // The half cell's middle segment lies under the dash, which is checked on its own.
      if (HalfCell && L.Name == 'g')
        continue;
      const int Mx = X + (L.X1 + L.X2) / 2;
      const int My = Y + (L.Y1 + L.Y2) / 2;
      if (Mx < 0 || Mx >= Image.width())
        continue;
      const bool Lit = kLit.at(Shown).find(L.Name) != std::string::npos;
      EXPECT_EQ(ColourAt(Image, Mx, My), Lit ? Look.Segment : Look.Face)
          << "cell " << Cell << " segment " << L.Name << " showing '" << Shown << "'";
    }
  }
  for (int p = 1; p <= n; ++p) {
    const bool Lit = C.Point && p == C.PointDecimal;
    EXPECT_EQ(ColourAt(Image, 40 * (n - p) + h + 4, 45), Lit ? Look.Segment : Look.Face)
        << "decimal point " << p;
  }
  if (C.HalfDigit) {
    EXPECT_EQ(ColourAt(Image, 12, 25), C.Dash ? Look.Segment : Look.Face) << "dash";
  }
  EXPECT_EQ(ColourAt(Image, 0, 0), Look.Face);
  EXPECT_EQ(ColourAt(Image, Image.width() - 1, Image.height() - 1), Look.Face);
}

const TDisplayCase kDisplayCases[] = {
    {"ZeroOnMesure", TStyle::LED, 3, false, 0, 0, "  0", false, false},
    {"ZeroOnHalfDigitDisplay", TStyle::LED, 5, true, 0, 0, "     0", false, false},
    {"ZeroOnLcd", TStyle::LCD, 4, false, 0, 0, "   0", false, false},
    {"LeadingZeroBeforePoint", TStyle::LCD, 5, false, 1, 5, "   05", true, false},
    {"NegativeWithLeadingZero", TStyle::LCD, 5, false, 1, -5, "  -05", true, false},
    {"OnePlaceOfDecimals", TStyle::LCD, 5, false, 1, 123, "  123", true, false},
    {"TwoPlacesOfDecimals", TStyle::LCD, 5, false, 2, 1234, " 1234", true, false},
    {"TwoLeadingZerosAndMinus", TStyle::LED, 5, false, 2, -5, " -005", true, false},
    {"HighestOfThreeDigits", TStyle::LED, 3, false, 0, 999, "999", false, false},
    {"ThousandOverflows", TStyle::LED, 3, false, 0, 1000, "dEP", false, false},
    {"SensorFailureOverflows", TStyle::LED, 3, false, 0, 9999, "dEP", false, false},
    {"LowestOfThreeDigits", TStyle::LED, 3, false, 0, -99, "-99", false, false},
    {"MinusHundredOverflows", TStyle::LED, 3, false, 0, -100, "dEP", false, false},
    {"HalfDigitShowsOne", TStyle::LED, 5, true, 0, 199999, "199999", false, false},
    {"HalfDigitOverflows", TStyle::LED, 5, true, 0, 200000, "   dEP", false, false},
    {"HalfDigitNegative", TStyle::LED, 5, true, 0, -12, "   -12", false, true},
    {"HalfDigitLowest", TStyle::LED, 5, true, 0, -199999, "199999", false, true},
    {"HalfDigitBelowLowest", TStyle::LED, 5, true, 0, -200000, "   dEP", false, false},
    {"FourDigitsOverflow", TStyle::LCD, 4, false, 0, 10000, " dEP", false, false},
    {"OneDigitHighest", TStyle::LED, 1, false, 0, 9, "9", false, false},
    {"OneDigitOverflowIsBlank", TStyle::LED, 1, false, 0, 10, " ", false, false},
    {"OneDigitNegativeIsBlank", TStyle::LED, 1, false, 0, -1, " ", false, false},
    {"TwoDigitsLowest", TStyle::LCD, 2, false, 0, -9, "-9", false, false},
    {"TwoDigitsOverflowIsBlank", TStyle::LCD, 2, false, 0, 100, "  ", false, false},
    {"TwoDigitsNegativeOverflowIsBlank", TStyle::LCD, 2, false, 0, -10, "  ", false, false},
    {"EightDigits", TStyle::LED, 8, false, 0, 12345678, "12345678", false, false},
    {"NegativePointDecimalShowsNoPoint", TStyle::LED, 5, false, -3, 5, "    5", false, false},
    // A point further left than the face: zeros fill every cell and the point is off the face.
    {"PointBeyondTheFace", TStyle::LED, 5, false, 1000000000, 5, "00005", false, false},
};

INSTANTIATE_TEST_SUITE_P(Cases, SegmentsDisplay, ::testing::ValuesIn(kDisplayCases),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST(SegmentsDisplay, StartsAsFourLedDigitsShowingZero) {
  TSEG Seg;
  EXPECT_EQ(Seg.Nb(), 0);
  EXPECT_EQ(Seg.NbDigit(), 4);
  EXPECT_EQ(Seg.PointDecimal(), 0);
  EXPECT_FALSE(Seg.HalfDigit());
  EXPECT_EQ(Seg.Style(), TStyle::LED);
  EXPECT_EQ(Seg.size(), QSize(174, 52));
}

struct TSizeCase {
  int NbDigit;
  bool HalfDigit;
  QSize Size;
};

void PrintTo(const TSizeCase &C, std::ostream *Out) {
  *Out << C.NbDigit << (C.HalfDigit ? " digits and a half" : " digits");
}

class SegmentsSize : public ::testing::TestWithParam<TSizeCase> {};

TEST_P(SegmentsSize, FollowsTheDigitCount) {
  const TSizeCase &C = GetParam();
  TSEG Seg;
  Seg.setNbDigit(C.NbDigit);
  Seg.setHalfDigit(C.HalfDigit);
  EXPECT_EQ(Seg.size(), C.Size);
  EXPECT_EQ(Seg.sizeHint(), C.Size);
  // Nothing else sticks: a resize, a new geometry, a layout's wish.
  Seg.resize(10, 10);
  EXPECT_EQ(Seg.size(), C.Size);
  Seg.setGeometry(5, 6, 500, 100);
  EXPECT_EQ(Seg.size(), C.Size);
  EXPECT_EQ(Seg.pos(), QPoint(5, 6));
  EXPECT_EQ(Picture(Seg).size(), C.Size);
}

// The sizes the windows lay their displays out with.
INSTANTIATE_TEST_SUITE_P(
    Sizes, SegmentsSize,
    ::testing::Values(TSizeCase{3, false, {134, 52}}, TSizeCase{5, true, {234, 52}},
                      TSizeCase{5, false, {214, 52}}, TSizeCase{4, false, {174, 52}},
                      TSizeCase{1, false, {54, 52}}, TSizeCase{8, false, {334, 52}},
                      TSizeCase{8, true, {354, 52}}));

TEST(SegmentsSize, DigitCountOutsideOneToEightIsIgnored) {
  TSEG Seg;
  Seg.setNbDigit(3);
  for (int Wrong : {0, 9, -1, 100}) {
    Seg.setNbDigit(Wrong);
    EXPECT_EQ(Seg.NbDigit(), 3) << Wrong;
    EXPECT_EQ(Seg.size(), QSize(134, 52)) << Wrong;
  }
}

TEST(SegmentsDisplay, StyleChangeRedrawsInTheOtherColours) {
  TSEG Seg;
  Seg.setNbDigit(3);
  Seg.setNb(1);
  // Cell 1's segment b is lit for a 1; segment a is not.
  const int X = 8 + 40 * 2;
  for (TStyle Style : {TStyle::LCD, TStyle::LED, TStyle::LCD}) {
    Seg.setStyle(Style);
    const QImage Image = Picture(Seg);
    const TLook Look = LookOf(Style);
    EXPECT_EQ(ColourAt(Image, 3, 3), Look.Face);
    EXPECT_EQ(ColourAt(Image, X + 34, 5 + 10), Look.Segment);
    EXPECT_EQ(ColourAt(Image, X + 24, 5), Look.Face);
  }
}

/// Counts the paints it receives.
class CountingSeg : public TSEG {
public:
  int Paints = 0;

protected:
  void paintEvent(QPaintEvent *event) override {
    ++Paints;
    TSEG::paintEvent(event);
  }
};

struct TSetterCase {
  const char *Name;
  std::function<void(TSEG &)> Same;
  std::function<void(TSEG &)> Changed;
};

void PrintTo(const TSetterCase &C, std::ostream *Out) {
  *Out << C.Name;
}

class SegmentsRepaint : public ::testing::TestWithParam<TSetterCase> {};

TEST_P(SegmentsRepaint, OnlyOnAChange) {
  CountingSeg Seg;
  Seg.setNb(12);
  Seg.setPointDecimal(1);
  Seg.setNbDigit(5);
  Seg.setStyle(TStyle::LCD);
  Seg.show();
  QCoreApplication::processEvents();
  ASSERT_GT(Seg.Paints, 0) << "the display is not drawn at all";

  Seg.Paints = 0;
  GetParam().Same(Seg);
  QCoreApplication::processEvents();
  EXPECT_EQ(Seg.Paints, 0);

  GetParam().Changed(Seg);
  QCoreApplication::processEvents();
  EXPECT_GT(Seg.Paints, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Setters, SegmentsRepaint,
    ::testing::Values(TSetterCase{"Nb", [](TSEG &S) { S.setNb(12); }, [](TSEG &S) { S.setNb(13); }},
                      TSetterCase{"PointDecimal", [](TSEG &S) { S.setPointDecimal(1); },
                                  [](TSEG &S) { S.setPointDecimal(2); }},
                      TSetterCase{"Style", [](TSEG &S) { S.setStyle(TStyle::LCD); },
                                  [](TSEG &S) { S.setStyle(TStyle::LED); }},
                      TSetterCase{"NbDigit", [](TSEG &S) { S.setNbDigit(5); },
                                  [](TSEG &S) { S.setNbDigit(6); }},
                      TSetterCase{"NbDigitOutOfRange", [](TSEG &S) { S.setNbDigit(9); },
                                  [](TSEG &S) { S.setNbDigit(1); }},
                      TSetterCase{"HalfDigit", [](TSEG &S) { S.setHalfDigit(false); },
                                  [](TSEG &S) { S.setHalfDigit(true); }}),
    [](const auto &Info) { return std::string(Info.param.Name); });

TEST(SegmentsDisplay, PublishesItsPropertiesForWindowDescriptions) {
  TSEG Seg;
  EXPECT_TRUE(Seg.setProperty("NbDigit", 5));
  EXPECT_TRUE(Seg.setProperty("HalfDigit", true));
  EXPECT_TRUE(Seg.setProperty("PointDecimal", 1));
  EXPECT_TRUE(Seg.setProperty("Nb", -42));
  EXPECT_TRUE(Seg.setProperty("Style", QVariant::fromValue(TStyle::LCD)));
  EXPECT_EQ(Seg.NbDigit(), 5);
  EXPECT_TRUE(Seg.HalfDigit());
  EXPECT_EQ(Seg.PointDecimal(), 1);
  EXPECT_EQ(Seg.property("Nb").toInt(), -42);
  EXPECT_EQ(Seg.Style(), TStyle::LCD);
  EXPECT_EQ(Seg.size(), QSize(234, 52));
}

} // namespace
} // namespace zol
