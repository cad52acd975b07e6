#include "controls/Trend.h"

#include <QDateTime>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace zol {

namespace {

/// Band changes kept per alarm: older ones than the longest span go first.
constexpr std::size_t kMaxBandChanges = 256;
constexpr int kMarginLeft = 44;
constexpr int kMarginRight = 8;
constexpr int kMarginTop = 8;
constexpr int kTimeAxisHeight = 16;
constexpr int kRelayBarHeight = 10;
constexpr int kRelayBarGap = 4;

const QColor kAlarmColors[2] = {QColor(220, 120, 0), QColor(0, 90, 200)};
const QColor kLineColor(0, 0, 0);
const QColor kGapColor(200, 0, 0);

std::int64_t StretchMs(TTrendSpan Span) {
  return SpanMs(Span) / TTrendStore::kBuckets;
}

/// A value with one decimal, with the regional decimal separator.
QString ValueText(double Value) {
  return QLocale().toString(Value, 'f', 1);
}

} // namespace

std::pair<double, double> BandRange(const TTrendBand &Band) {
  return {Band.SetPoint - std::abs(Band.Hysteresis), Band.SetPoint};
}

// ---- Buckets and the store ---------------------------------------------------------------------

void TTrendBucket::Add(const TTrendSample &Sample) {
  if (Sample.HasValue && std::isfinite(Sample.Value)) {
    if (Count == 0) {
      Min = Max = Sample.Value;
    } else {
      Min = std::min(Min, Sample.Value);
      Max = std::max(Max, Sample.Value);
    }
    Last = Sample.Value;
    LastTimeMs = Sample.TimeMs;
    ++Count;
  } else {
    Gap = true;
  }
  Relay1 = Relay1 || Sample.Relay1;
  Relay2 = Relay2 || Sample.Relay2;
}

void TTrendBucket::Merge(const TTrendBucket &Other) {
  if (Other.Count > 0) {
    if (Count == 0) {
      Min = Other.Min;
      Max = Other.Max;
    } else {
      Min = std::min(Min, Other.Min);
      Max = std::max(Max, Other.Max);
    }
    if (Count == 0 || Other.LastTimeMs >= LastTimeMs) {
      Last = Other.Last;
      LastTimeMs = Other.LastTimeMs;
    }
    Count += Other.Count;
  }
  Gap = Gap || Other.Gap;
  Relay1 = Relay1 || Other.Relay1;
  Relay2 = Relay2 || Other.Relay2;
  Number = std::max(Number, Other.Number);
}

std::int64_t SpanMs(TTrendSpan Span) {
  switch (Span) {
  case TTrendSpan::OneMinute:
    return 60'000;
  case TTrendSpan::TenMinutes:
    return 600'000;
  case TTrendSpan::OneHour:
    break;
  }
  return 3'600'000;
}

TTrendStore::TTrendStore() {
  for (auto &Ring : FRings)
    Ring.assign(kBuckets, TTrendBucket{});
}

void TTrendStore::Add(const TTrendSample &Sample) {
  for (int Span = 0; Span < kTrendSpans; ++Span) {
    const std::int64_t Number = Sample.TimeMs / StretchMs(static_cast<TTrendSpan>(Span));
    TTrendBucket &Bucket = FRings[Span][static_cast<std::size_t>(Number % kBuckets)];
    if (Bucket.Number != Number) {
      Bucket = TTrendBucket{};
      Bucket.Number = Number;
    }
    Bucket.Add(Sample);
  }
  FLastMs = FAny ? std::max(FLastMs, Sample.TimeMs) : Sample.TimeMs;
  FAny = true;
}

void TTrendStore::Clear() {
  for (auto &Ring : FRings)
    std::fill(Ring.begin(), Ring.end(), TTrendBucket{});
  FAny = false;
  FLastMs = 0;
}

std::vector<TTrendBucket> TTrendStore::Columns(TTrendSpan Span, std::int64_t EndMs,
                                               int Width) const {
  std::vector<TTrendBucket> Result(static_cast<std::size_t>(std::max(Width, 0)));
  if (Width <= 0)
    return Result;
  const std::int64_t Total = SpanMs(Span);
  const std::int64_t Stretch = StretchMs(Span);
  const std::int64_t Start = EndMs - Total;
  for (const TTrendBucket &Bucket : FRings[static_cast<int>(Span)]) {
    if (Bucket.Number < 0)
      continue;
    const std::int64_t From = Bucket.Number * Stretch;
    if (From < Start || From >= EndMs)
      continue;
    const auto Column = static_cast<std::size_t>((From - Start) * Width / Total);
    Result[Column].Merge(Bucket);
  }
  return Result;
}

std::size_t TTrendStore::Bytes() const {
  std::size_t Total = 0;
  for (const auto &Ring : FRings)
    Total += Ring.capacity() * sizeof(TTrendBucket);
  return Total;
}

// ---- The value axis ----------------------------------------------------------------------------

int TTrendAxis::Y(double V) const {
  const double Share = (V - Low) / (High - Low);
  return Bottom - static_cast<int>(std::lround(Share * (Bottom - Top)));
}

double TTrendAxis::Value(int Row) const {
  return Low + (High - Low) * static_cast<double>(Bottom - Row) / (Bottom - Top);
}

TTrendAxis FitAxis(const std::vector<TTrendBucket> &Columns, const std::vector<TTrendBand> &Bands,
                   int Top, int Bottom) {
  bool Any = false;
  double Low = 0;
  double High = 0;
  auto Take = [&](double V) {
    if (!std::isfinite(V))
      return;
    Low = Any ? std::min(Low, V) : V;
    High = Any ? std::max(High, V) : V;
    Any = true;
  };
  for (const TTrendBucket &Column : Columns)
    if (Column.Count > 0) {
      Take(Column.Min);
      Take(Column.Max);
    }
  for (const TTrendBand &Band : Bands) {
    const auto [BandLow, BandHigh] = BandRange(Band);
    Take(BandLow);
    Take(BandHigh);
  }
  if (!Any) {
    Low = 0;
    High = 1;
  }
  const double Middle = (Low + High) / 2;
  const double Half = std::max((High - Low) / 2 * 1.1, 0.5);
  return {Middle - Half, Middle + Half, Top, Bottom};
}

// ---- The widget --------------------------------------------------------------------------------

TTrend::TTrend(QWidget *Parent) : QWidget(Parent) {
  setMouseTracking(true);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(240, 140);
}

QSize TTrend::sizeHint() const {
  return {560, 300};
}

void TTrend::AddSample(const TTrendSample &Sample) {
  FStore.Add(Sample);
  if (FPaused || FRepaintDue)
    return;
  // Drawn again once a column's time has passed (a tenth of a second to a second): samples may
  // come at a display's pace, and a column of the 1 h span is 6 s long.
  FRepaintDue = true;
  const auto Width = static_cast<std::int64_t>(std::max(1, PlotRect().width()));
  const int Ms = static_cast<int>(std::clamp<std::int64_t>(SpanMs(FSpan) / Width, 40, 1000));
  QTimer::singleShot(Ms, this, [this] {
    FRepaintDue = false;
    update();
  });
}

void TTrend::SetBand(int Alarm, const TTrendBand &Band, std::int64_t TimeMs) {
  if (Alarm < 0 || Alarm > 1)
    return;
  auto &Changes = FBands[static_cast<std::size_t>(Alarm)];
  if (!Changes.empty() && Changes.back().Band == Band)
    return;
  Changes.push_back({TimeMs, Band});
  // Changes older than the longest span, but the one in force at its start, are of no use.
  const std::int64_t Oldest = TimeMs - SpanMs(TTrendSpan::OneHour);
  while (Changes.size() > kMaxBandChanges || (Changes.size() > 1 && Changes[1].TimeMs <= Oldest))
    Changes.erase(Changes.begin());
  update();
}

void TTrend::SetSpan(TTrendSpan Span) {
  if (Span == FSpan)
    return;
  FSpan = Span;
  update();
}

void TTrend::SetPaused(bool Paused) {
  if (Paused == FPaused)
    return;
  FPaused = Paused;
  FPausedAt = FStore.LastTimeMs();
  update();
}

void TTrend::Clear() {
  FStore.Clear();
  for (auto &Changes : FBands)
    Changes.clear();
  update();
}

std::int64_t TTrend::EndMs() const {
  // The right edge lies one stretch past the last sample, so that its stretch is shown.
  const std::int64_t Last = FPaused ? FPausedAt : FStore.LastTimeMs();
  return Last + StretchMs(FSpan);
}

QRect TTrend::PlotRect() const {
  const int Bottom =
      height() - kTimeAxisHeight - 2 * (kRelayBarHeight + kRelayBarGap) - kRelayBarGap;
  return QRect(QPoint(kMarginLeft, kMarginTop), QPoint(width() - 1 - kMarginRight, Bottom));
}

QRect TTrend::RelayRect(int Relay) const {
  const QRect Plot = PlotRect();
  const int Top = Plot.bottom() + kRelayBarGap + 1 + Relay * (kRelayBarHeight + kRelayBarGap);
  return QRect(Plot.left(), Top, Plot.width(), kRelayBarHeight);
}

std::vector<TTrendBucket> TTrend::Columns() const {
  return FStore.Columns(FSpan, EndMs(), PlotRect().width());
}

std::vector<TTrend::TBandChange> TTrend::BandsShown(int Alarm) const {
  const auto &Changes = FBands[static_cast<std::size_t>(Alarm)];
  const std::int64_t End = EndMs();
  const std::int64_t Start = End - SpanMs(FSpan);
  std::vector<TBandChange> Result;
  for (std::size_t i = 0; i < Changes.size(); ++i) {
    const bool Later = i + 1 < Changes.size();
    if (Changes[i].TimeMs >= End)
      break;
    if (Later && Changes[i + 1].TimeMs <= Start)
      continue; // replaced before the span starts
    Result.push_back(Changes[i]);
  }
  return Result;
}

TTrendAxis TTrend::Axis(const std::vector<TTrendBucket> &Columns) const {
  std::vector<TTrendBand> Bands;
  for (int Alarm = 0; Alarm < 2; ++Alarm)
    for (const TBandChange &Change : BandsShown(Alarm))
      Bands.push_back(Change.Band);
  const QRect Plot = PlotRect();
  return FitAxis(Columns, Bands, Plot.top(), Plot.bottom());
}

std::vector<std::int64_t> TTrend::ChangesShown(int Alarm) const {
  std::vector<std::int64_t> Result;
  const std::int64_t Start = EndMs() - SpanMs(FSpan);
  const auto Shown = BandsShown(Alarm);
  const auto &All = FBands[static_cast<std::size_t>(Alarm)];
  for (const TBandChange &Change : Shown)
    if (Change.TimeMs >= Start && !All.empty() && Change.TimeMs != All.front().TimeMs)
      Result.push_back(Change.TimeMs);
  return Result;
}

QString TTrend::TextAt(int X) const {
  const QRect Plot = PlotRect();
  if (X < Plot.left() || X > Plot.right() || FStore.Empty())
    return {};
  const auto Columns = this->Columns();
  const int Column = X - Plot.left();
  const std::int64_t Start = EndMs() - SpanMs(FSpan);
  const std::int64_t At = Start + SpanMs(FSpan) * Column / Plot.width();
  const TTrendBucket &Bucket = Columns[static_cast<std::size_t>(Column)];
  QString Text = QDateTime::fromMSecsSinceEpoch(At).toString(QStringLiteral("HH:mm:ss"));
  if (Bucket.Count > 0)
    Text += QStringLiteral("  ") + ValueText(Bucket.Last) + QStringLiteral(" °C");
  else if (Bucket.Gap)
    Text += QStringLiteral("  ----");
  else
    return Text;
  Text += QStringLiteral("  R1 ") + (Bucket.Relay1 ? QStringLiteral("1") : QStringLiteral("0"));
  Text += QStringLiteral("  R2 ") + (Bucket.Relay2 ? QStringLiteral("1") : QStringLiteral("0"));
  return Text;
}

void TTrend::mouseMoveEvent(QMouseEvent *Event) {
  FPointerX = Event->position().toPoint().x();
  emit PointerText(TextAt(FPointerX));
  update();
}

void TTrend::leaveEvent(QEvent *) {
  FPointerX = -1;
  emit PointerText(QString());
  update();
}

void TTrend::paintEvent(QPaintEvent *) {
  QPainter Painter(this);
  Painter.fillRect(rect(), palette().window());
  const QRect Plot = PlotRect();
  Painter.fillRect(Plot, Qt::white);
  const auto Columns = this->Columns();
  const TTrendAxis Axis = this->Axis(Columns);
  const std::int64_t End = EndMs();
  const std::int64_t Total = SpanMs(FSpan);
  const std::int64_t Start = End - Total;
  auto XOf = [&](std::int64_t TimeMs) {
    return Plot.left() + static_cast<int>((TimeMs - Start) * Plot.width() / Total);
  };

  // Grid and value labels: five rows.
  Painter.setFont(font());
  for (int i = 0; i <= 4; ++i) {
    const double V = Axis.Low + (Axis.High - Axis.Low) * i / 4;
    const int Y = Axis.Y(V);
    Painter.setPen(QColor(225, 225, 225));
    Painter.drawLine(Plot.left(), Y, Plot.right(), Y);
    Painter.setPen(palette().color(QPalette::WindowText));
    Painter.drawText(QRect(0, Y - 8, kMarginLeft - 4, 16), Qt::AlignRight | Qt::AlignVCenter,
                     ValueText(V));
  }

  // The bands of both alarms, each over the time it held; a change is a dashed mark.
  for (int Alarm = 0; Alarm < 2; ++Alarm) {
    const auto Shown = BandsShown(Alarm);
    QColor Fill = kAlarmColors[Alarm];
    Fill.setAlpha(50);
    for (std::size_t i = 0; i < Shown.size(); ++i) {
      const std::int64_t From = std::max(Shown[i].TimeMs, Start);
      const std::int64_t To = i + 1 < Shown.size() ? Shown[i + 1].TimeMs : End;
      const int Left = std::max(XOf(From), Plot.left());
      const int Right = std::min(XOf(To), Plot.right());
      const auto [Low, High] = BandRange(Shown[i].Band);
      const int Top = std::clamp(Axis.Y(High), Plot.top(), Plot.bottom());
      const int Bottom = std::clamp(Axis.Y(Low), Plot.top(), Plot.bottom());
      Painter.fillRect(QRect(QPoint(Left, Top), QPoint(Right, std::max(Top, Bottom))), Fill);
      Painter.setPen(QPen(kAlarmColors[Alarm], 1));
      Painter.drawLine(Left, Top, Right, Top);
      // The side on which the contact is closed: a strip along the threshold.
      QColor Strip = kAlarmColors[Alarm];
      Strip.setAlpha(140);
      const int StripTop = Shown[i].Band.ClosedAbove ? Top - 3 : Top + 1;
      Painter.fillRect(QRect(Left, StripTop, Right - Left + 1, 3), Strip);
      // The LED's side: a small lamp at the right end of the threshold.
      const int LampY = Shown[i].Band.LitBelow ? Top + 6 : Top - 6;
      Painter.setBrush(kAlarmColors[Alarm]);
      Painter.drawEllipse(QPoint(Right - 6 - 10 * Alarm, LampY), 3, 3);
      Painter.setBrush(Qt::NoBrush);
      if (i == 0)
        Painter.drawText(QPoint(Left + 3, Top - 5), QStringLiteral("A%1").arg(Alarm + 1));
    }
    Painter.setPen(QPen(kAlarmColors[Alarm], 1, Qt::DashLine));
    for (std::int64_t At : ChangesShown(Alarm)) {
      const int X = XOf(At);
      Painter.drawLine(X, Plot.top(), X, Plot.bottom());
    }
  }

  // The line of the values: each column from its lowest to its highest value, joined to the
  // next column that has values; a failed sensor breaks it and is marked under the plot.
  Painter.setPen(QPen(kLineColor, 1));
  // Columns further apart in time than this are not joined: no samples came between them (the
  // instrument was away, or the program did not follow it).
  const std::int64_t JoinMs = std::max<std::int64_t>(2000, 3 * Total / std::max(1, Plot.width()));
  int PreviousX = -1;
  int PreviousY = 0;
  std::int64_t PreviousMs = 0;
  bool InGap = false;
  for (std::size_t c = 0; c < Columns.size(); ++c) {
    const TTrendBucket &Column = Columns[c];
    const int X = Plot.left() + static_cast<int>(c);
    if (Column.Gap) {
      if (!InGap) {
        Painter.setPen(QPen(kGapColor, 2));
        Painter.drawLine(X, Plot.bottom() - 8, X, Plot.bottom());
        Painter.drawLine(X - 3, Plot.bottom() - 5, X + 3, Plot.bottom() - 5);
        Painter.setPen(QPen(kLineColor, 1));
      }
      InGap = true;
      PreviousX = -1;
      continue;
    }
    InGap = false;
    if (Column.Count == 0)
      continue;
    const int Low = Axis.Y(Column.Min);
    const int High = Axis.Y(Column.Max);
    if (PreviousX >= 0 && Column.LastTimeMs - PreviousMs <= JoinMs)
      Painter.drawLine(PreviousX, PreviousY, X, Axis.Y(Column.Last));
    Painter.drawLine(X, Low, X, High);
    PreviousX = X;
    PreviousY = Axis.Y(Column.Last);
    PreviousMs = Column.LastTimeMs;
  }

  // The relays, as bars under the plot.
  for (int Relay = 0; Relay < 2; ++Relay) {
    const QRect Bar = RelayRect(Relay);
    Painter.fillRect(Bar, QColor(240, 240, 240));
    Painter.setPen(palette().color(QPalette::WindowText));
    Painter.drawText(QRect(0, Bar.top() - 3, kMarginLeft - 4, Bar.height() + 6),
                     Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("R%1").arg(Relay + 1));
    // Each run of columns with the relay on, as one rectangle; a column no sample fell in
    // keeps the state of the one before (samples may come less often than columns).
    std::size_t RunStart = 0;
    bool InRun = false;
    for (std::size_t c = 0; c <= Columns.size(); ++c) {
      const bool Empty = c < Columns.size() && Columns[c].Empty();
      const bool On = c < Columns.size() &&
                      (Empty ? InRun : (Relay == 0 ? Columns[c].Relay1 : Columns[c].Relay2));
      if (On && !InRun)
        RunStart = c;
      if (!On && InRun)
        Painter.fillRect(QRect(Bar.left() + static_cast<int>(RunStart), Bar.top(),
                               static_cast<int>(c - RunStart), Bar.height()),
                         kAlarmColors[Relay]);
      InRun = On;
    }
  }

  // Time labels at the ends and in the middle.
  Painter.setPen(palette().color(QPalette::WindowText));
  const int LabelTop = RelayRect(1).bottom() + 2;
  const QString Format =
      FSpan == TTrendSpan::OneMinute ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm");
  const struct {
    std::int64_t At;
    Qt::Alignment Align;
  } Labels[] = {
      {Start, Qt::AlignLeft}, {Start + Total / 2, Qt::AlignHCenter}, {End, Qt::AlignRight}};
  for (const auto &Label : Labels) {
    const int X = XOf(Label.At);
    const QRect Box = Label.Align == Qt::AlignLeft    ? QRect(X, LabelTop, 80, 14)
                      : Label.Align == Qt::AlignRight ? QRect(X - 80, LabelTop, 80, 14)
                                                      : QRect(X - 40, LabelTop, 80, 14);
    Painter.drawText(Box, Label.Align | Qt::AlignVCenter,
                     QDateTime::fromMSecsSinceEpoch(Label.At).toString(Format));
  }

  Painter.setPen(QColor(160, 160, 160));
  Painter.drawRect(Plot.adjusted(0, 0, -1, -1));
  if (FPointerX >= Plot.left() && FPointerX <= Plot.right()) {
    Painter.setPen(QPen(QColor(120, 120, 120), 1, Qt::DotLine));
    Painter.drawLine(FPointerX, Plot.top(), FPointerX, RelayRect(1).bottom());
  }
}

} // namespace zol
