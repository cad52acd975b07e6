#include "windows/Sheet.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetrics>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

#include <algorithm>

#include "windows/Journal.h"
#include "windows/Language.h"

namespace zol {

namespace {

constexpr double kMarginMm = 18.0;

QString FromLatin1(const std::string &Text) {
  QString Shown = QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
  while (!Shown.isEmpty() && Shown.back().isSpace())
    Shown.chop(1);
  return Shown;
}

QString Tenths(float Value, const char *Unit) {
  return QString::number(static_cast<double>(Value), 'f', 1) + QLatin1Char(' ') +
         QString::fromUtf8(Unit);
}

/// Draws lines of text down the page from Top, in two columns when a line has a value.
class TSheetPainter {
public:
  TSheetPainter(QPainter &Painter, const QRect &Area) : P(Painter), Area(Area), Y(Area.top()) {}

  void Title(const QString &Text) { Line(Text, QString(), 16, true); }
  void Heading(const QString &Text) {
    Y += Gap();
    Line(Text, QString(), 12, true);
  }
  void Field(const QString &Name, const QString &Value) { Line(Name, Value, 10, false); }
  void Text(const QString &Text, int Points = 10) { Line(Text, QString(), Points, false); }
  /// A row of the journal's table: four cells at fixed shares of the width.
  void Row(const QStringList &Cells, bool Bold) {
    QFont Font(QStringLiteral("Helvetica"), 8);
    Font.setBold(Bold);
    P.setFont(Font);
    const QFontMetrics Metrics(Font, P.device());
    const double Shares[] = {0.0, 0.22, 0.47, 0.59, 1.0};
    int Height = Metrics.height();
    for (int i = 0; i < 4 && i < Cells.size(); ++i) {
      const int Left = Area.left() + static_cast<int>(Area.width() * Shares[i]);
      const int Width =
          static_cast<int>(Area.width() * (Shares[i + 1] - Shares[i])) - Area.width() / 60;
      if (i < 3) {
        P.drawText(Left, Y + Metrics.ascent(), Metrics.elidedText(Cells[i], Qt::ElideRight, Width));
        continue;
      }
      // What changed is wrapped on as many lines as it takes, up to the page's end.
      const QRect Cell(Left, Y, Width, std::max(Area.bottom() - Y, 0));
      const QRect Used = Metrics.boundingRect(Cell, Qt::TextWordWrap, Cells[i]);
      P.drawText(Cell, Qt::TextWordWrap, Cells[i]);
      Height = std::max(Height, std::min(Used.height(), Cell.height()));
    }
    Y += Height;
  }

private:
  int Gap() const { return P.device()->logicalDpiY() / 8; }
  void Line(const QString &Left, const QString &Right, int Points, bool Bold) {
    QFont Font(QStringLiteral("Helvetica"), Points);
    Font.setBold(Bold);
    P.setFont(Font);
    const QFontMetrics Metrics(Font, P.device());
    const int Split = Area.left() + Area.width() * 2 / 5;
    const int LeftWidth = Right.isEmpty() ? Area.width() : Split - Area.left() - Area.width() / 60;
    P.drawText(Area.left(), Y + Metrics.ascent(),
               Metrics.elidedText(Left, Qt::ElideRight, LeftWidth));
    if (!Right.isEmpty())
      P.drawText(Split, Y + Metrics.ascent(),
                 Metrics.elidedText(Right, Qt::ElideRight, Area.right() - Split));
    Y += Metrics.height();
  }

  QPainter &P;
  QRect Area;
  int Y;
};

/// Draws the sheet in Area of Painter's device.
void PaintSheet(QPainter &Painter, const QRect &Area, const TZOLModel &Model,
                const std::vector<TJournalRecord> &Records, const QString &RecordsProblem,
                const QDateTime &When) {
  TSheetPainter Sheet(Painter, Area);
  Sheet.Title(Tr("Fiche de configuration RW8", "RW8 configuration sheet"));
  Sheet.Field(Tr("Date", "Date"), When.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));

  Sheet.Heading(Tr("Instrument", "Instrument"));
  Sheet.Field(Tr("N° de série", "Serial number"), QString::fromStdString(Model.SerialNumber));
  Sheet.Field(Tr("Fabricant", "Manufacturer"), QString::fromStdString(Model.Manufacturer));
  Sheet.Field(Tr("Produit", "Product"), QString::fromStdString(Model.Product));
  Sheet.Field(Tr("Firmware (info)", "Firmware (info)"),
              Model.InfoText.empty() ? Tr("non lu", "not read")
                                     : QString::fromStdString(Model.InfoText));

  const TZOLSettings &S = Model.Settings;
  Sheet.Heading(Tr("Réglages relus", "Settings as read back"));
  Sheet.Field(Tr("Tag", "Tag"), QLatin1Char('"') + FromLatin1(S.Tag.Get()) + QLatin1Char('"'));
  Sheet.Field(Tr("Filtre", "Filter"), Tenths(S.Filter, "s"));
  for (int Which = 1; Which <= 2; ++Which) {
    const TZOLAlarm &A = Which == 1 ? S.Alarm1 : S.Alarm2;
    const QString Name = Tr("Alarme %1 : ", "Alarm %1: ").arg(Which);
    Sheet.Field(Name + Tr("seuil", "set point"), Tenths(A.SetPoint, "°C"));
    Sheet.Field(Name + Tr("hystérésis", "hysteresis"), Tenths(A.Hysteresis, "°C"));
    Sheet.Field(Name + Tr("retard", "delay"), Tenths(A.Delay, "s"));
    Sheet.Field(Name + Tr("contact", "contact"), A.ContactNC != 0
                                                     ? Tr("normalement fermé", "normally closed")
                                                     : Tr("normalement ouvert", "normally open"));
    Sheet.Field(Name + Tr("sur défaut", "on failure"),
                A.FailClosed != 0 ? Tr("fermé", "closed") : Tr("ouvert", "open"));
    Sheet.Field(Name + Tr("voyant", "LED"),
                A.LedBelow != 0 ? Tr("allumé en dessous du seuil", "lit below the threshold")
                                : Tr("allumé au-dessus du seuil", "lit above the threshold"));
  }

  Sheet.Heading(Tr("Journal : les dernières opérations", "Journal: the last operations"));
  if (!RecordsProblem.isEmpty())
    Sheet.Text(RecordsProblem);
  else if (Records.empty())
    Sheet.Text(Tr("aucune", "none"));
  else
    Sheet.Row({Tr("Date", "Date"), Tr("Opération", "Operation"), Tr("Verdict", "Verdict"),
               Tr("Ce qui a changé", "What changed")},
              true);
  for (const TJournalRecord &R : Records) {
    QString Time = QString::fromStdString(R.Time).left(19);
    Time.replace(QLatin1Char('T'), QLatin1Char(' '));
    Sheet.Row({Time, OperationText(R.Operation), VerdictText(R.Verdict),
               SettingsChanges(R.Before, R.After).join(QStringLiteral("; "))},
              false);
  }
}

} // namespace

QByteArray ConfigurationSheetPdf(const TZOLModel &Model, const std::vector<TJournalRecord> &Records,
                                 const QString &RecordsProblem, const QDateTime &When) {
  QByteArray Data;
  QBuffer Buffer(&Data);
  if (!Buffer.open(QIODevice::WriteOnly))
    return {};
  {
    QPdfWriter Writer(&Buffer);
    Writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                     QMarginsF(kMarginMm, kMarginMm, kMarginMm, kMarginMm),
                                     QPageLayout::Millimeter));
    Writer.setResolution(300);
    Writer.setTitle(Tr("Fiche de configuration RW8 ", "RW8 configuration sheet ") +
                    QString::fromStdString(Model.SerialNumber));
    Writer.setCreator(QStringLiteral("zolcfg"));
    QPainter Painter;
    if (!Painter.begin(&Writer))
      return {};
    PaintSheet(Painter, Writer.pageLayout().paintRectPixels(Writer.resolution()), Model, Records,
               RecordsProblem, When);
    if (!Painter.end())
      return {};
  }
  return Data;
}

QImage ConfigurationSheetImage(const TZOLModel &Model, const std::vector<TJournalRecord> &Records,
                               const QString &RecordsProblem, const QDateTime &When, int Dpi) {
  const auto Pixels = [Dpi](double Mm) { return static_cast<int>(Mm / 25.4 * Dpi); };
  QImage Image(Pixels(210), Pixels(297), QImage::Format_RGB32);
  Image.setDotsPerMeterX(static_cast<int>(Dpi / 0.0254));
  Image.setDotsPerMeterY(static_cast<int>(Dpi / 0.0254));
  Image.fill(Qt::white);
  QPainter Painter(&Image);
  Painter.setRenderHint(QPainter::TextAntialiasing);
  const int Margin = Pixels(kMarginMm);
  PaintSheet(Painter,
             QRect(Margin, Margin, Image.width() - 2 * Margin, Image.height() - 2 * Margin), Model,
             Records, RecordsProblem, When);
  return Image;
}

} // namespace zol
