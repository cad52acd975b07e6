#pragma once

#include <QValidator>

namespace zol {

/// Forces what the user types or pastes to upper case, character by character. Given a range,
/// characters that lie outside it once upper-cased are left out (the cursor keeps its place
/// among the kept ones); without one nothing is left out, so the length never changes and a
/// length limit and the cursor stay right.
class TUpperCaseValidator final : public QValidator {
  Q_OBJECT

public:
  explicit TUpperCaseValidator(QObject *Parent = nullptr);
  /// Keeps only the characters First to Last, both included.
  TUpperCaseValidator(char16_t First, char16_t Last, QObject *Parent = nullptr);

  State validate(QString &Input, int &Position) const override;

private:
  char16_t FFirst = 0;
  char16_t FLast = 0xFFFF;
};

} // namespace zol
