#pragma once

#include <QWidget>

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

namespace zol {

/// One measurement given to the trend: its time (milliseconds since the epoch), the value, and
/// the state of the two relays. Without a value (a failed sensor) the line has a gap there.
struct TTrendSample {
  std::int64_t TimeMs = 0;
  bool HasValue = true;
  double Value = 0;
  bool Relay1 = false;
  bool Relay2 = false;
};

/// An alarm as the plot shows it: the set point, the hysteresis band below it (a tripped alarm
/// is released at SetPoint - |Hysteresis|), the side of the threshold on which the contact is
/// closed and the one on which the LED is lit.
struct TTrendBand {
  double SetPoint = 0;
  double Hysteresis = 0;
  bool ClosedAbove = true;
  bool LitBelow = true;
  bool operator==(const TTrendBand &) const = default;
};

/// The band's range on the value axis, low end first.
std::pair<double, double> BandRange(const TTrendBand &Band);

/// What fell into one stretch of time: how many values, their range and the last one, whether
/// the sensor failed in it, and whether each relay was on at some moment of it.
struct TTrendBucket {
  std::int64_t Number = -1; // the stretch's number on the time axis; -1 when nothing fell in it
  int Count = 0;            // samples with a value
  double Min = 0;
  double Max = 0;
  double Last = 0;
  std::int64_t LastTimeMs = 0;
  bool Gap = false;
  bool Relay1 = false;
  bool Relay2 = false;

  void Add(const TTrendSample &Sample);
  void Merge(const TTrendBucket &Other);
  bool Empty() const { return Count == 0 && !Gap; }
};

/// The spans the trend shows.
enum class TTrendSpan : std::uint8_t { OneMinute, TenMinutes, OneHour };
inline constexpr int kTrendSpans = 3;
std::int64_t SpanMs(TTrendSpan Span);

/// The samples for every span at once, in memory fixed when it is made: per span a ring of
/// kBuckets stretches of SpanMs / kBuckets each (50 ms, 0.5 s, 3 s), whatever the sample rate.
class TTrendStore {
public:
  static constexpr int kBuckets = 1200;

  TTrendStore();
  void Add(const TTrendSample &Sample);
  void Clear();
  /// The stretches of Span that end before EndMs, merged into Width columns, oldest first; a
  /// column that no stretch falls in is empty.
  std::vector<TTrendBucket> Columns(TTrendSpan Span, std::int64_t EndMs, int Width) const;
  bool Empty() const { return !FAny; }
  std::int64_t LastTimeMs() const { return FLastMs; }
  /// The bytes the rings hold (fixed).
  std::size_t Bytes() const;

private:
  std::array<std::vector<TTrendBucket>, kTrendSpans> FRings;
  std::int64_t FLastMs = 0;
  bool FAny = false;
};

/// The value axis: Low to High shown on pixel rows Bottom to Top.
struct TTrendAxis {
  double Low = 0;
  double High = 1;
  int Top = 0;
  int Bottom = 100;
  int Y(double Value) const;
  double Value(int Y) const;
};

/// The axis that holds the columns' values and the bands, with a margin of a twentieth of the
/// range on each side (at least 1 °C in all).
TTrendAxis FitAxis(const std::vector<TTrendBucket> &Columns, const std::vector<TTrendBand> &Bands,
                   int Top, int Bottom);

/// A live trend of a measurement: the line of the values, the band of each of two alarms
/// (changes marked where they happened), the two relays as bars under the plot, a failed sensor
/// as a gap with a mark. Spans of 1 min, 10 min and 1 h; paused, it keeps recording and shows
/// the moment it was paused. Knows nothing of the instrument: it is given samples and bands.
class TTrend : public QWidget {
  Q_OBJECT

public:
  explicit TTrend(QWidget *Parent = nullptr);

  void AddSample(const TTrendSample &Sample);
  /// Alarm (0 or 1) holds Band from TimeMs on; the same band again changes nothing. The first
  /// band of an alarm is not marked as a change.
  void SetBand(int Alarm, const TTrendBand &Band, std::int64_t TimeMs);
  void SetSpan(TTrendSpan Span);
  TTrendSpan Span() const { return FSpan; }
  void SetPaused(bool Paused);
  bool Paused() const { return FPaused; }
  void Clear();

  const TTrendStore &Store() const { return FStore; }
  /// The time at the right edge: the last sample, or the moment of the pause.
  std::int64_t EndMs() const;
  /// Where the values are drawn, and where the relay bars are.
  QRect PlotRect() const;
  QRect RelayRect(int Relay) const;
  /// The columns and the axis as they are drawn now.
  std::vector<TTrendBucket> Columns() const;
  TTrendAxis Axis(const std::vector<TTrendBucket> &Columns) const;
  /// The moments at which Alarm's band changed, within the span shown.
  std::vector<std::int64_t> ChangesShown(int Alarm) const;
  /// The time, value and relays of the column at X, as a line of text; empty outside the plot.
  QString TextAt(int X) const;

signals:
  /// The line for the place under the pointer, empty when the pointer left the plot.
  void PointerText(const QString &Text);

protected:
  void paintEvent(QPaintEvent *Event) override;
  void mouseMoveEvent(QMouseEvent *Event) override;
  void leaveEvent(QEvent *Event) override;
  QSize sizeHint() const override;

private:
  struct TBandChange {
    std::int64_t TimeMs;
    TTrendBand Band;
  };
  /// The bands of an alarm over the span shown: each with the time it held from.
  std::vector<TBandChange> BandsShown(int Alarm) const;

  TTrendStore FStore;
  std::array<std::vector<TBandChange>, 2> FBands;
  TTrendSpan FSpan = TTrendSpan::OneMinute;
  bool FPaused = false;
  std::int64_t FPausedAt = 0;
  int FPointerX = -1;
  bool FRepaintDue = false;
};

} // namespace zol
