#pragma once

#include <QLineEdit>
#include <QString>

#include <vector>

class QFocusEvent;
class QKeyEvent;

namespace zol {

/// The regional decimal separator (QLocale()), the one the number conversion expects.
QChar RegionalDecimalSeparator();

/// The number a field holds: blanks before and after are skipped, then an optional "+" or "-"
/// directly followed by digits, optionally Separator and more digits, and nothing else. Anything
/// else (an empty field, a lone sign, a sign apart from its digits, another separator) is 0.
double FieldToNumber(const QString &Text, QChar Separator);
/// FieldToNumber with the regional separator.
double FieldToNumber(const QString &Text);

/// Value with no decimals, halves away from zero, a minus sign when negative ("#0").
QString FormatWhole(double Value);
/// Value with one decimal written with Separator, halves away from zero ("#0.0").
QString FormatTenths(double Value, QChar Separator);

/// The delay and filter mask with the regional separator as its literal: "!90,0;1;_" in France.
QString RegionalDelayMask();

/// A single-line edit driven by an edit mask "pattern;1;blank" in the notation of the windows
/// (not Qt's inputMask; text() gives what is drawn, blanks included): in the pattern "#" takes a
/// digit, "+" or "-" or stays empty, "9" takes a digit or stays empty, "0" takes a digit, "!" keeps
/// empty optional positions as blanks at the left of the text, and any other character is a literal
/// that is part of the text. Empty positions are drawn with the blank character; maskedText() gives
/// them as spaces. Typing overwrites the position at the cursor and moves on; a character a
/// position does not take is refused.
class TMaskEdit : public QLineEdit {
  Q_OBJECT
  Q_PROPERTY(QString editMask READ editMask WRITE setEditMask)
  Q_PROPERTY(QString maskedText READ maskedText WRITE setMaskedText)

public:
  explicit TMaskEdit(QWidget *Parent = nullptr);

  QString editMask() const { return FEditMask; }
  /// Sets the mask; the text is fitted to it again.
  void setEditMask(const QString &Mask);

  /// The field's text as the mask makes it: literals included, empty positions as spaces.
  QString maskedText() const;
  /// Puts Value into the field: the part before the mask's literal right-aligned into the
  /// positions before it (left-aligned when the mask has no "!"), the part after it left-aligned
  /// after it; a character a position does not take leaves it empty.
  void setMaskedText(const QString &Value);

  /// Number of positions of the mask.
  int positions() const { return static_cast<int>(FSlots.size()); }

protected:
  void keyPressEvent(QKeyEvent *Event) override;
  void focusOutEvent(QFocusEvent *Event) override;

private:
  enum class TSlot { DigitOrSign, OptionalDigit, Digit, Literal };
  struct TPosition {
    TSlot Kind;
    QChar Literal;
  };

  bool Accepts(int Position, QChar Char) const;
  /// Next position at or after From that is not a literal; Positions() when none.
  int NextEditable(int From) const;
  /// Previous position before From that is not a literal; -1 when none.
  int PreviousEditable(int From) const;
  /// Shows FValue with blanks drawn, the cursor at Cursor.
  void Show(int Cursor);
  /// Takes the text the line edit holds after an edit it made by itself (paste, undo, drop).
  void Refit(const QString &Shown);
  bool TypeChar(QChar Char);
  /// With "!", moves the characters before the literal at LiteralAt (or before the end of the
  /// field, LiteralAt == Positions()) to the right of their part.
  void Justify(int LiteralAt);

  QString FEditMask;
  std::vector<TPosition> FSlots;
  bool FLeadingBlanks = false;
  QChar FBlank = QLatin1Char('_');
  /// One character per position; a space for an empty one.
  QString FValue;
  bool FShowing = false;
};

} // namespace zol
