#include "controls/Relais.h"

#include <QCoreApplication>
#include <QMouseEvent>

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/controls/Pixels.h"

namespace zol {
namespace {

using test::ColourAt;
using test::Picture;
using test::Rgb;

const std::string kLever = Rgb(0, 128, 0);
const std::string kFace = Rgb(192, 220, 192);

/// Where the lever lies in the picture shown: "left", "right" or "up" (pressed).
std::string LeverOf(TRelais &Relais) {
  const QImage Image = Picture(Relais);
  const bool Left = ColourAt(Image, 12, 16) == kLever;
  const bool Right = ColourAt(Image, 19, 16) == kLever;
  const bool Up = ColourAt(Image, 15, 14) == kLever && ColourAt(Image, 16, 14) == kLever;
  if (Left && !Right && !Up)
    return "left";
  if (Right && !Left && !Up)
    return "right";
  if (Up && !Left && !Right)
    return "up";
  return "unclear";
}

void Mouse(TRelais &Relais, QEvent::Type Type, Qt::MouseButton Button, Qt::MouseButtons Held,
           QPoint At) {
  QMouseEvent Event(Type, QPointF(At), QPointF(Relais.mapToGlobal(At)), Button, Held,
                    Qt::NoModifier);
  QCoreApplication::sendEvent(&Relais, &Event);
}

void PressLeft(TRelais &Relais, QPoint At) {
  Mouse(Relais, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, At);
}

void ReleaseLeft(TRelais &Relais, QPoint At) {
  Mouse(Relais, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, At);
}

TEST(Relais, StartsOpenOnTheLeftTerminal) {
  TRelais Relais;
  EXPECT_EQ(Relais.size(), QSize(32, 32));
  EXPECT_FALSE(Relais.Status());
  EXPECT_FALSE(Relais.ButtonStyle());
  EXPECT_EQ(LeverOf(Relais), "left");
}

struct TPictureCase {
  bool Status;
  bool Pressed;
  const char *Picture;
  const char *Lever;
  /// Colour of the border's top-left edge: light when raised, dark when sunken.
  std::string Edge;
};

void PrintTo(const TPictureCase &C, std::ostream *Out) {
  *Out << C.Picture << (C.Status ? " on" : " off");
}

class RelaisPicture : public ::testing::TestWithParam<TPictureCase> {};

TEST_P(RelaisPicture, ShowsTheContactOfItsState) {
  const TPictureCase &C = GetParam();
  QWidget Back;
  QPalette P = Back.palette();
  P.setColor(QPalette::Window, QColor(255, 0, 255));
  Back.setPalette(P);
  Back.setAutoFillBackground(true);
  Back.resize(40, 40);
  auto *Relais = new TRelais(&Back);
  Relais->move(4, 4);
  Relais->setButtonStyle(true);
  Relais->setStatus(C.Status);
  if (C.Pressed)
    PressLeft(*Relais, {16, 16});
  EXPECT_EQ(Relais->PictureName(), QString::fromLatin1(C.Picture));
  EXPECT_EQ(LeverOf(*Relais), C.Lever);

  const QImage Image = Picture(Back);
  auto At = [&](int X, int Y) { return ColourAt(Image, 4 + X, 4 + Y); };
  EXPECT_EQ(At(3, 3), C.Edge);
  EXPECT_EQ(At(24, 16), kFace);
  // The three terminals.
  EXPECT_EQ(At(9, 8), Rgb(0, 0, 0));
  EXPECT_EQ(At(21, 8), Rgb(0, 0, 0));
  EXPECT_EQ(At(15, 23), Rgb(0, 0, 0));
  // The surround takes the colour of the bottom-left pixel: the backdrop shows there.
  EXPECT_EQ(At(0, 31), Rgb(255, 0, 255));
  EXPECT_EQ(At(31, 0), Rgb(255, 0, 255));
}

INSTANTIATE_TEST_SUITE_P(
    States, RelaisPicture,
    ::testing::Values(TPictureCase{false, false, "CT1", "left", Rgb(255, 255, 255)},
                      TPictureCase{true, false, "CT2", "right", Rgb(255, 255, 255)},
                      TPictureCase{false, true, "CTD", "up", Rgb(128, 128, 128)},
                      TPictureCase{true, true, "CTD", "up", Rgb(128, 128, 128)}));

struct TClickCase {
  const char *Name;
  QPoint Release;
  bool Flips;
};

void PrintTo(const TClickCase &C, std::ostream *Out) {
  *Out << C.Name;
}

class RelaisClick : public ::testing::TestWithParam<TClickCase> {};

// The pointer must lie strictly inside the control when the button comes up.
TEST_P(RelaisClick, ReleaseInsideFlipsReleaseOutsideDoesNot) {
  const TClickCase &C = GetParam();
  for (bool Start : {false, true}) {
    TRelais Relais;
    Relais.setButtonStyle(true);
    Relais.setStatus(Start);
    PressLeft(Relais, {16, 16});
    EXPECT_EQ(LeverOf(Relais), "up");
    EXPECT_EQ(Relais.Status(), Start) << "a press alone changes nothing";
    ReleaseLeft(Relais, C.Release);
    const bool Expected = C.Flips ? !Start : Start;
    EXPECT_EQ(Relais.Status(), Expected);
    EXPECT_EQ(LeverOf(Relais), Expected ? "right" : "left");
  }
}

INSTANTIATE_TEST_SUITE_P(Points, RelaisClick,
                         ::testing::Values(TClickCase{"Centre", {16, 16}, true},
                                           TClickCase{"NearTopLeft", {1, 1}, true},
                                           TClickCase{"NearBottomRight", {31, 31}, true},
                                           TClickCase{"LeftEdge", {0, 16}, false},
                                           TClickCase{"TopEdge", {16, 0}, false},
                                           TClickCase{"RightOutside", {32, 16}, false},
                                           TClickCase{"BelowOutside", {16, 32}, false},
                                           TClickCase{"FarAway", {-40, 90}, false}),
                         [](const auto &Info) { return std::string(Info.param.Name); });

TEST(Relais, WithoutButtonStyleTheMouseIsIgnored) {
  TRelais Relais;
  for (int Click = 0; Click < 2; ++Click) {
    PressLeft(Relais, {16, 16});
    EXPECT_EQ(LeverOf(Relais), "left") << "no pressed picture";
    ReleaseLeft(Relais, {16, 16});
    EXPECT_FALSE(Relais.Status());
    EXPECT_EQ(LeverOf(Relais), "left");
  }
  Relais.setStatus(true);
  EXPECT_EQ(LeverOf(Relais), "right") << "the property still works";
}

TEST(Relais, TwoClicksComeBackToTheStart) {
  TRelais Relais;
  Relais.setButtonStyle(true);
  for (bool Expected : {true, false}) {
    PressLeft(Relais, {10, 20});
    ReleaseLeft(Relais, {10, 20});
    EXPECT_EQ(Relais.Status(), Expected);
  }
}

} // namespace
} // namespace zol
