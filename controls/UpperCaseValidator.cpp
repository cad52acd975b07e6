#include "controls/UpperCaseValidator.h"

namespace zol {

TUpperCaseValidator::TUpperCaseValidator(QObject *Parent) : QValidator(Parent) {}

TUpperCaseValidator::TUpperCaseValidator(char16_t First, char16_t Last, QObject *Parent)
    : QValidator(Parent), FFirst(First), FLast(Last) {}

QValidator::State TUpperCaseValidator::validate(QString &Input, int &Position) const {
  QString Kept;
  Kept.reserve(Input.size());
  for (qsizetype i = 0; i < Input.size(); ++i) {
    const QChar c = Input[i].toUpper();
    if (c.unicode() >= FFirst && c.unicode() <= FLast)
      Kept += c;
    else if (i < Position)
      --Position;
  }
  Input = Kept;
  return Acceptable;
}

} // namespace zol
