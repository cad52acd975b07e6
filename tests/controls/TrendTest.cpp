#include "controls/Trend.h"

#include <gtest/gtest.h>

#include "tests/controls/Pixels.h"

namespace zol {
namespace {

using test::Picture;

constexpr std::int64_t kT0 = 1'800'000'000'000; // a moment in 2027, in ms since the epoch

TTrendSample At(std::int64_t Ms, double Value, bool Relay1 = false, bool Relay2 = false) {
  return {kT0 + Ms, true, Value, Relay1, Relay2};
}

/// Samples to columns: the range and last value of each column, whatever the rate, and the
/// stretches that fall in no column of the span left out.
TEST(TrendStore, ColumnsHoldTheRangeOfTheirSamplesAtAnyRate) {
  struct TCase {
    const char *Name;
    TTrendSpan Span;
    int Width;
    std::int64_t EveryMs; // one sample every EveryMs over the last two spans
  } Cases[] = {
      {"1 kHz, 1 min on 600 columns", TTrendSpan::OneMinute, 600, 1},
      {"10 Hz, 10 min on 300 columns", TTrendSpan::TenMinutes, 300, 100},
      {"1 kHz, 1 h on 1500 columns (more columns than stretches)", TTrendSpan::OneHour, 1500, 1}};
  for (const TCase &c : Cases) {
    SCOPED_TRACE(c.Name);
    TTrendStore Store;
    const std::size_t Bytes = Store.Bytes();
    const std::int64_t Span = SpanMs(c.Span);
    // A saw tooth: the value is the millisecond within each second, so every column of at
    // least a second holds 0 to 999 (or what its samples reach).
    for (std::int64_t t = -Span; t < Span; t += c.EveryMs)
      Store.Add(At(t, static_cast<double>((t + Span) % 1000), (t / 1000) % 2 == 0));
    EXPECT_EQ(Store.Bytes(), Bytes);
    const auto Columns = Store.Columns(c.Span, kT0 + Span, c.Width);
    ASSERT_EQ(Columns.size(), static_cast<std::size_t>(c.Width));
    int Filled = 0;
    for (const TTrendBucket &Column : Columns) {
      if (Column.Count == 0)
        continue;
      ++Filled;
      EXPECT_LE(Column.Min, Column.Last);
      EXPECT_GE(Column.Max, Column.Last);
      EXPECT_GE(Column.LastTimeMs, kT0);
    }
    // Every stretch of the span lands in a column: no more filled columns than stretches, and
    // every column filled when there are fewer columns than stretches.
    EXPECT_EQ(Filled, std::min(c.Width, TTrendStore::kBuckets));
    // A column of a second or more holds whole teeth.
    if (Span / c.Width >= 1000)
      for (const TTrendBucket &Column : Columns)
        if (Column.Count > 0) {
          EXPECT_EQ(Column.Min, 0);
          EXPECT_GE(Column.Max, 1000 - static_cast<double>(c.EveryMs));
        }
  }
}

/// The band lies below the set point by the hysteresis, whatever its sign; the axis holds the
/// values and both bands.
TEST(TrendAxis, BandsAndValuesFitTheAxis) {
  EXPECT_EQ(BandRange({25.0, 1.0, true, true}), std::make_pair(24.0, 25.0));
  EXPECT_EQ(BandRange({25.0, -1.5, false, false}), std::make_pair(23.5, 25.0));
  std::vector<TTrendBucket> Columns(3);
  Columns[1].Add({kT0, true, 20.0});
  Columns[1].Add({kT0 + 1, true, 22.0});
  const TTrendAxis Axis = FitAxis(Columns, {{30.0, 2.0, true, true}}, 10, 110);
  EXPECT_LT(Axis.Low, 20.0);
  EXPECT_GT(Axis.High, 30.0);
  EXPECT_LT(Axis.Y(30.0), Axis.Y(28.0)); // higher values higher up
  EXPECT_NEAR(Axis.Value(Axis.Y(21.0)), 21.0, (Axis.High - Axis.Low) / 100);
  const TTrendAxis Flat = FitAxis(Columns, {}, 0, 100);
  EXPECT_GE(Flat.High - Flat.Low, 1.0); // a flat line still gets a degree
}

/// What is drawn: a failed sensor breaks the line and is marked, each relay's bar is lit where
/// it was on, a band change is marked where it happened and the pointer reads the column.
TEST(TrendWidget, GapsRelaysAndBandChangesAreDrawnWhereTheyHappened) {
  TTrend Trend;
  Trend.resize(600 + 52, 200);
  const QRect Plot = Trend.PlotRect();
  ASSERT_EQ(Plot.width(), 600);
  Trend.SetBand(0, {25.0, 1.0, true, true}, kT0);
  // One minute at 10 ms: relay 1 on in the first half, the sensor failed from 40 to 45 s, and
  // alarm 1's set point moved at 50 s.
  for (std::int64_t t = 0; t < 60'000; t += 10) {
    TTrendSample Sample = At(t, 24.0 + static_cast<double>(t) / 60'000, t < 30'000);
    if (t >= 40'000 && t < 45'000)
      Sample.HasValue = false;
    if (t == 50'000)
      Trend.SetBand(0, {26.0, 1.0, true, true}, kT0 + t);
    Trend.AddSample(Sample);
  }
  const auto Columns = Trend.Columns();
  const std::int64_t Start = Trend.EndMs() - 60'000;
  auto ColumnOf = [&](std::int64_t Ms) {
    return static_cast<int>((kT0 + Ms - Start) * Plot.width() / 60'000);
  };
  EXPECT_TRUE(Columns[ColumnOf(42'000)].Gap);
  EXPECT_EQ(Columns[ColumnOf(42'000)].Count, 0);
  EXPECT_TRUE(Columns[ColumnOf(10'000)].Relay1);
  EXPECT_FALSE(Columns[ColumnOf(35'000)].Relay1);
  EXPECT_EQ(Trend.ChangesShown(0), std::vector<std::int64_t>{kT0 + 50'000});
  EXPECT_TRUE(Trend.ChangesShown(1).empty());

  const QImage Image = Picture(Trend);
  const QRect Bar = Trend.RelayRect(0);
  const int Mid = Bar.center().y();
  EXPECT_NE(Image.pixelColor(Plot.left() + ColumnOf(10'000), Mid),
            Image.pixelColor(Plot.left() + ColumnOf(35'000), Mid));
  // No line inside the gap: no black pixel in its columns.
  const TTrendAxis Axis = Trend.Axis(Columns);
  for (int y = Plot.top() + 1; y < Plot.bottom() - 10; ++y)
    EXPECT_NE(Image.pixelColor(Plot.left() + ColumnOf(42'500), y), QColor(Qt::black)) << y;
  // The line is there beside it.
  bool LineBefore = false;
  for (int y = Plot.top(); y <= Plot.bottom(); ++y)
    LineBefore = LineBefore || Image.pixelColor(Plot.left() + ColumnOf(38'000), y) == Qt::black;
  EXPECT_TRUE(LineBefore);
  EXPECT_GT(Axis.High, 26.0);

  EXPECT_TRUE(Trend.TextAt(Plot.left() + ColumnOf(10'000)).contains(QStringLiteral("R1 1")));
  EXPECT_TRUE(Trend.TextAt(Plot.left() + ColumnOf(42'000)).contains(QStringLiteral("----")));
  EXPECT_TRUE(Trend.TextAt(Plot.left() - 5).isEmpty());

  // Paused, it goes on recording but shows the moment of the pause.
  Trend.SetPaused(true);
  const std::int64_t End = Trend.EndMs();
  Trend.AddSample(At(70'000, 30.0));
  EXPECT_EQ(Trend.EndMs(), End);
  Trend.SetPaused(false);
  EXPECT_GT(Trend.EndMs(), End);
}

} // namespace
} // namespace zol
