#include "controls/Led.h"

#include <QCoreApplication>
#include <QPaintEvent>
#include <QPalette>

#include <functional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/controls/Pixels.h"

namespace zol {
namespace {

using test::ColourAt;
using test::Picture;
using test::Rgb;

/// A backdrop of a colour that no picture uses, to see where a picture is transparent.
class Backdrop : public QWidget {
public:
  Backdrop() {
    QPalette P = palette();
    P.setColor(QPalette::Window, QColor(255, 0, 255));
    setPalette(P);
    setAutoFillBackground(true);
    resize(64, 64);
  }
};

const std::string kBackdrop = Rgb(255, 0, 255);

struct TLedCase {
  TLedKind Kind;
  bool LedStatus;
  const char *Picture;
  std::string Centre;
  bool Highlight;
};

void PrintTo(const TLedCase &C, std::ostream *Out) {
  *Out << C.Picture;
}

class LedPicture : public ::testing::TestWithParam<TLedCase> {};

TEST_P(LedPicture, ShowsTheLampOfItsState) {
  const TLedCase &C = GetParam();
  Backdrop Back;
  auto *Led = new Tled(&Back);
  Led->move(10, 20);
  Led->setKind(C.Kind);
  Led->setLedStatus(C.LedStatus);
  EXPECT_EQ(Led->PictureName(), QString::fromLatin1(C.Picture));

  const QImage Image = Picture(Back);
  auto At = [&](int X, int Y) { return ColourAt(Image, 10 + X, 20 + Y); };
  EXPECT_EQ(At(8, 9), C.Centre);
  EXPECT_EQ(At(10, 10), C.Centre);
  // The highlight at the upper left of a lit lamp.
  EXPECT_EQ(At(5, 5), C.Highlight ? Rgb(255, 255, 255) : C.Centre);
  // The ring: black inside, grey at the top left, white at the bottom right.
  EXPECT_EQ(At(7, 2), Rgb(0, 0, 0));
  EXPECT_EQ(At(0, 7), Rgb(128, 128, 128));
  EXPECT_EQ(At(15, 8), Rgb(255, 255, 255));
  // The surround takes the colour of the bottom-left pixel, so it lets the backdrop through.
  EXPECT_EQ(At(0, 15), kBackdrop);
  EXPECT_EQ(At(15, 0), kBackdrop);
  EXPECT_EQ(At(0, 0), kBackdrop);
}

INSTANTIATE_TEST_SUITE_P(
    States, LedPicture,
    ::testing::Values(TLedCase{TLedKind::Red, true, "LEDRON", Rgb(255, 0, 0), true},
                      TLedCase{TLedKind::Red, false, "LEDROFF", Rgb(128, 0, 0), false},
                      TLedCase{TLedKind::Green, true, "LEDVON", Rgb(0, 255, 0), true},
                      TLedCase{TLedKind::Green, false, "LEDVOFF", Rgb(0, 128, 0), false}));

TEST(Led, StartsAsADarkRedLampOfSixteenPixels) {
  Tled Led;
  EXPECT_FALSE(Led.LedStatus());
  EXPECT_EQ(Led.Kind(), TLedKind::Red);
  EXPECT_EQ(Led.size(), QSize(16, 16));
  EXPECT_EQ(ColourAt(Picture(Led), 8, 9), Rgb(128, 0, 0));
}

TEST(Led, PicturesAreLoadedByName) {
  for (const char *Name : {"LEDRON", "LEDROFF", "LEDVON", "LEDVOFF"})
    EXPECT_EQ(LoadPicture(QString::fromLatin1(Name)).size(), QSize(16, 16)) << Name;
  for (const char *Name : {"CT1", "CT2", "CTD"})
    EXPECT_EQ(LoadPicture(QString::fromLatin1(Name)).size(), QSize(32, 32)) << Name;
  EXPECT_TRUE(LoadPicture(QStringLiteral("NOSUCH")).isNull());
}

/// Counts the paints it receives.
class CountingLed : public Tled {
public:
  int Paints = 0;

protected:
  void paintEvent(QPaintEvent *event) override {
    ++Paints;
    Tled::paintEvent(event);
  }
};

TEST(Led, RepaintsOnlyOnAChange) {
  const std::function<void(Tled &)> Steps[][2] = {
      {[](Tled &L) { L.setLedStatus(false); }, [](Tled &L) { L.setLedStatus(true); }},
      {[](Tled &L) { L.setKind(TLedKind::Red); }, [](Tled &L) { L.setKind(TLedKind::Green); }},
  };
  for (const auto &Step : Steps) {
    CountingLed Led;
    Led.show();
    QCoreApplication::processEvents();
    ASSERT_GT(Led.Paints, 0);
    Led.Paints = 0;
    Step[0](Led);
    QCoreApplication::processEvents();
    EXPECT_EQ(Led.Paints, 0);
    Step[1](Led);
    QCoreApplication::processEvents();
    EXPECT_GT(Led.Paints, 0);
  }
}

} // namespace
} // namespace zol
