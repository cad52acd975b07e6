#include "controls/MaskEdit.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLocale>

#include <algorithm>
#include <cmath>

namespace zol {

QChar RegionalDecimalSeparator() {
  const QString Point = QLocale().decimalPoint();
  return Point.isEmpty() ? QLatin1Char('.') : Point.front();
}

double FieldToNumber(const QString &Text, QChar Separator) {
  const QString Field = Text.trimmed();
  const qsizetype n = Field.size();
  qsizetype i = 0;
  QString Number;
  if (i < n && (Field[i] == QLatin1Char('+') || Field[i] == QLatin1Char('-'))) {
    Number += Field[i];
    ++i;
  }
  int Digits = 0;
  while (i < n && Field[i] >= QLatin1Char('0') && Field[i] <= QLatin1Char('9')) {
    Number += Field[i++];
    ++Digits;
  }
  if (i < n && Field[i] == Separator) {
    Number += QLatin1Char('.');
    ++i;
    while (i < n && Field[i] >= QLatin1Char('0') && Field[i] <= QLatin1Char('9')) {
      Number += Field[i++];
      ++Digits;
    }
  }
  if (i != n || Digits == 0)
    return 0.0;
  bool Ok = false;
  // Number is written with a point whatever the region: read it the C way.
  const double Value = Number.toDouble(&Ok);
  return Ok ? Value : 0.0;
}

double FieldToNumber(const QString &Text) {
  return FieldToNumber(Text, RegionalDecimalSeparator());
}

QString FormatWhole(double Value) {
  double Rounded = std::round(Value);
  if (Rounded == 0.0)
    Rounded = 0.0; // no "-0" for a small negative value
  return QString::number(Rounded, 'f', 0);
}

QString FormatTenths(double Value, QChar Separator) {
  double Rounded = std::round(Value * 10.0) / 10.0;
  if (Rounded == 0.0)
    Rounded = 0.0;
  QString Text = QString::number(Rounded, 'f', 1);
  Text.replace(QLatin1Char('.'), Separator);
  return Text;
}

QString RegionalDelayMask() {
  return QStringLiteral("!90") + RegionalDecimalSeparator() + QStringLiteral("0;1;_");
}

TMaskEdit::TMaskEdit(QWidget *Parent) : QLineEdit(Parent) {
  setDragEnabled(false);
  setAcceptDrops(false);
  // Edits the line edit makes by itself (undo, paste from its menu) are fitted to the mask again.
  connect(this, &QLineEdit::textEdited, this, [this](const QString &Shown) {
    if (!FShowing)
      Refit(Shown);
  });
}

void TMaskEdit::setEditMask(const QString &Mask) {
  const QString Old = FValue;
  const std::vector<TPosition> OldSlots = FSlots;
  FEditMask = Mask;
  const QStringList Fields = Mask.split(QLatin1Char(';'));
  const QString Pattern = Fields.value(0);
  FBlank = Fields.size() > 2 && !Fields[2].isEmpty() ? Fields[2].front() : QLatin1Char('_');
  FLeadingBlanks = false;
  FSlots.clear();
  for (QChar c : Pattern) {
    if (c == QLatin1Char('!'))
      FLeadingBlanks = true;
    else if (c == QLatin1Char('#'))
      FSlots.push_back({TSlot::DigitOrSign, QChar()});
    else if (c == QLatin1Char('9'))
      FSlots.push_back({TSlot::OptionalDigit, QChar()});
    else if (c == QLatin1Char('0'))
      FSlots.push_back({TSlot::Digit, QChar()});
    else
      FSlots.push_back({TSlot::Literal, c});
  }
  // The field keeps what it held, position by position: only a literal changes.
  FValue = QString(positions(), QLatin1Char(' '));
  for (int i = 0; i < positions(); ++i) {
    if (FSlots[i].Kind == TSlot::Literal)
      FValue[i] = FSlots[i].Literal;
    else if (i < Old.size() && Accepts(i, Old[i]))
      FValue[i] = Old[i];
  }
  Show(0);
}

QString TMaskEdit::maskedText() const {
  const QStringList Fields = FEditMask.split(QLatin1Char(';'));
  if (Fields.size() > 1 && Fields[1] == QLatin1String("0")) {
    // Literals not part of the text.
    QString Text;
    for (int i = 0; i < positions(); ++i)
      if (FSlots[i].Kind != TSlot::Literal)
        Text += FValue[i];
    return Text;
  }
  return FValue;
}

void TMaskEdit::setMaskedText(const QString &Value) {
  int LiteralAt = -1;
  for (int i = 0; i < positions(); ++i) {
    if (FSlots[i].Kind == TSlot::Literal) {
      LiteralAt = i;
      break;
    }
  }
  QString Before = Value.trimmed();
  QString After;
  if (LiteralAt >= 0) {
    const qsizetype Split = Before.indexOf(FSlots[LiteralAt].Literal);
    if (Split >= 0) {
      After = Before.mid(Split + 1);
      Before = Before.left(Split);
    }
  }
  FValue = QString(positions(), QLatin1Char(' '));
  const int BeforeEnd = LiteralAt >= 0 ? LiteralAt : positions();
  if (FLeadingBlanks) {
    int Source = static_cast<int>(Before.size()) - 1;
    for (int i = BeforeEnd - 1; i >= 0 && Source >= 0; --i, --Source)
      if (Accepts(i, Before[Source]))
        FValue[i] = Before[Source];
  } else {
    for (int i = 0, Source = 0; i < BeforeEnd && Source < Before.size(); ++i, ++Source)
      if (Accepts(i, Before[Source]))
        FValue[i] = Before[Source];
  }
  int Source = 0;
  for (int i = BeforeEnd; i < positions(); ++i) {
    if (FSlots[i].Kind == TSlot::Literal) {
      FValue[i] = FSlots[i].Literal;
      continue;
    }
    if (Source < After.size() && Accepts(i, After[Source]))
      FValue[i] = After[Source];
    ++Source;
  }
  Show(0);
}

bool TMaskEdit::Accepts(int Position, QChar Char) const {
  if (Position < 0 || Position >= positions())
    return false;
  const bool Digit = Char >= QLatin1Char('0') && Char <= QLatin1Char('9');
  switch (FSlots[Position].Kind) {
  case TSlot::DigitOrSign:
    return Digit || Char == QLatin1Char('+') || Char == QLatin1Char('-');
  case TSlot::OptionalDigit:
  case TSlot::Digit:
    return Digit;
  case TSlot::Literal:
    return Char == FSlots[Position].Literal;
  }
  return false;
}

int TMaskEdit::NextEditable(int From) const {
  int i = std::max(From, 0);
  while (i < positions() && FSlots[i].Kind == TSlot::Literal)
    ++i;
  return i;
}

int TMaskEdit::PreviousEditable(int From) const {
  int i = std::min(From, positions()) - 1;
  while (i >= 0 && FSlots[i].Kind == TSlot::Literal)
    --i;
  return i;
}

void TMaskEdit::Show(int Cursor) {
  QString Shown = FValue;
  for (int i = 0; i < positions(); ++i)
    if (FSlots[i].Kind != TSlot::Literal && Shown[i] == QLatin1Char(' '))
      Shown[i] = FBlank;
  FShowing = true;
  QLineEdit::setText(Shown);
  setCursorPosition(std::clamp(Cursor, 0, positions()));
  FShowing = false;
}

void TMaskEdit::Refit(const QString &Shown) {
  const int Cursor = cursorPosition();
  QString Typed = Shown;
  Typed.replace(FBlank, QLatin1Char(' '));
  if (Typed.size() == positions()) {
    for (int i = 0; i < positions(); ++i) {
      if (FSlots[i].Kind == TSlot::Literal)
        FValue[i] = FSlots[i].Literal;
      else
        FValue[i] = Accepts(i, Typed[i]) ? Typed[i] : QLatin1Char(' ');
    }
    Show(Cursor);
  } else {
    setMaskedText(Typed);
  }
}

bool TMaskEdit::TypeChar(QChar Char) {
  int Cursor = cursorPosition();
  if (hasSelectedText()) {
    const int Start = selectionStart();
    const int End = Start + static_cast<int>(selectedText().size());
    for (int i = Start; i < End && i < positions(); ++i)
      if (FSlots[i].Kind != TSlot::Literal)
        FValue[i] = QLatin1Char(' ');
    Cursor = Start;
  }
  // The literal typed: the whole number part is done; with "!" its digits move to the right,
  // keeping the empty positions as blanks at the left, and the cursor goes past the literal.
  for (int i = Cursor; i < positions(); ++i) {
    if (FSlots[i].Kind != TSlot::Literal)
      continue;
    if (FSlots[i].Literal != Char)
      break;
    Justify(i);
    Show(i + 1);
    return true;
  }
  const int Position = NextEditable(Cursor);
  if (Position >= positions() || !Accepts(Position, Char)) {
    Show(Cursor);
    return false;
  }
  FValue[Position] = Char;
  Show(NextEditable(Position + 1));
  return true;
}

void TMaskEdit::Justify(int LiteralAt) {
  // LiteralAt may be positions(): the part that ends the field.
  if (!FLeadingBlanks)
    return;
  int Start = LiteralAt;
  while (Start > 0 && FSlots[Start - 1].Kind != TSlot::Literal)
    --Start;
  QString Filled;
  for (int k = Start; k < LiteralAt; ++k)
    if (FValue[k] != QLatin1Char(' '))
      Filled += FValue[k];
  QString Moved(LiteralAt - Start, QLatin1Char(' '));
  Moved.replace(Moved.size() - Filled.size(), Filled.size(), Filled);
  for (int k = Start; k < LiteralAt; ++k)
    if (Moved[k - Start] != QLatin1Char(' ') && !Accepts(k, Moved[k - Start]))
      return; // a sign would land on a digit-only position: left as typed
  for (int k = Start; k < LiteralAt; ++k)
    FValue[k] = Moved[k - Start];
}

void TMaskEdit::focusOutEvent(QFocusEvent *Event) {
  // Leaving the field ends the number part before each literal ("5_,0" becomes "_5,0"), and a
  // field without literal is all number part ("5__" becomes "__5", "-5_" becomes "_-5"), so that
  // the required last position is filled and what is sent is what the user typed.
  const QString Before = FValue;
  bool AnyLiteral = false;
  for (int i = 0; i < positions(); ++i) {
    if (FSlots[i].Kind == TSlot::Literal) {
      AnyLiteral = true;
      Justify(i);
    }
  }
  if (!AnyLiteral)
    Justify(positions());
  if (Before != FValue)
    Show(cursorPosition());
  QLineEdit::focusOutEvent(Event);
}

void TMaskEdit::keyPressEvent(QKeyEvent *Event) {
  if (isReadOnly()) {
    QLineEdit::keyPressEvent(Event);
    return;
  }
  if (Event->matches(QKeySequence::Paste)) {
    const QString Pasted = QApplication::clipboard()->text();
    for (QChar c : Pasted)
      TypeChar(c);
    Event->accept();
    return;
  }
  if (Event->matches(QKeySequence::Cut)) {
    copy();
    if (hasSelectedText()) {
      const int Start = selectionStart();
      for (int i = Start; i < Start + selectedText().size() && i < positions(); ++i)
        if (FSlots[i].Kind != TSlot::Literal)
          FValue[i] = QLatin1Char(' ');
      Show(Start);
    }
    Event->accept();
    return;
  }
  if (Event->key() == Qt::Key_Backspace || Event->key() == Qt::Key_Delete) {
    if (hasSelectedText()) {
      const int Start = selectionStart();
      for (int i = Start; i < Start + selectedText().size() && i < positions(); ++i)
        if (FSlots[i].Kind != TSlot::Literal)
          FValue[i] = QLatin1Char(' ');
      Show(Start);
    } else if (Event->key() == Qt::Key_Backspace) {
      const int Position = PreviousEditable(cursorPosition());
      if (Position >= 0) {
        FValue[Position] = QLatin1Char(' ');
        Show(Position);
      }
    } else {
      const int Cursor = cursorPosition();
      const int Position = NextEditable(Cursor);
      if (Position < positions()) {
        FValue[Position] = QLatin1Char(' ');
        Show(Cursor);
      }
    }
    Event->accept();
    return;
  }
  const QString Typed = Event->text();
  if (Typed.size() == 1 && Typed.front().isPrint() &&
      !(Event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
    TypeChar(Typed.front());
    Event->accept();
    return;
  }
  QLineEdit::keyPressEvent(Event);
}

} // namespace zol
