// The upper-case validator, with and without a range of kept characters.
#include <gtest/gtest.h>

#include "controls/UpperCaseValidator.h"

namespace zol {
namespace {

TEST(UpperCaseValidator, UpperCasesAndLeavesOutWhatLiesOutsideTheRange) {
  const struct {
    bool Ranged; // 0x20 to 0x5F kept, as the instrument's packed text
    const char16_t *Input;
    int Position;
    const char16_t *Output;
    int NewPosition;
  } Cases[] = {
      {false, u"abc", 3, u"ABC", 3},      {false, u"a{é", 2, u"A{É", 2},
      {true, u"ab-9", 4, u"AB-9", 4},     {true, u"a{b", 3, u"AB", 2},
      {true, u"\u00e9tag", 1, u"TAG", 0}, {true, u"x~y", 1, u"XY", 1},
  };
  for (const auto &c : Cases) {
    const TUpperCaseValidator Validator =
        c.Ranged ? TUpperCaseValidator(0x20, 0x5F) : TUpperCaseValidator();
    QString Text = QString::fromUtf16(c.Input);
    int Position = c.Position;
    EXPECT_EQ(Validator.validate(Text, Position), QValidator::Acceptable);
    EXPECT_EQ(Text, QString::fromUtf16(c.Output)) << QString::fromUtf16(c.Input).toStdString();
    EXPECT_EQ(Position, c.NewPosition) << QString::fromUtf16(c.Input).toStdString();
  }
}

} // namespace
} // namespace zol
