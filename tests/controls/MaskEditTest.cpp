// The edit masks of the windows and the number conversion of every send.
#include <QLocale>
#include <QTest>

#include <gtest/gtest.h>

#include <ostream>

#include "controls/MaskEdit.h"

/// Lets GoogleTest print texts in failures.
inline void PrintTo(const QString &Text, std::ostream *Out) {
  *Out << '"' << Text.toStdString() << '"';
}

namespace zol {
namespace {

struct TConversionCase {
  const char *Text;
  char Separator;
  double Expected;
};

TEST(FieldToNumber, ConvertsOrGivesZero) {
  const TConversionCase Cases[] = {
      {"  5", ',', 5.0},  {"-5 ", ',', -5.0},  {"+12", ',', 12.0}, {"999", ',', 999.0},
      {" 2,5", ',', 2.5}, {"12,5", ',', 12.5}, {" 2.5", '.', 2.5}, {"0,0", ',', 0.0},
      {",5", ',', 0.5},   {"   ", ',', 0.0},   {"", ',', 0.0},     {" - ", ',', 0.0},
      {"-  ", ',', 0.0},  {"- 5", ',', 0.0},   {" 2.5", ',', 0.0}, {"2,5", '.', 0.0},
      {"1 ,5", ',', 0.0}, {"5-", ',', 0.0},    {"+-5", ',', 0.0},  {"1,2,3", ',', 0.0},
  };
  for (const auto &c : Cases)
    EXPECT_DOUBLE_EQ(FieldToNumber(QString::fromLatin1(c.Text), QLatin1Char(c.Separator)),
                     c.Expected)
        << "\"" << c.Text << "\" with '" << c.Separator << "'";
}

TEST(FieldToNumber, FollowsTheRegionalSeparator) {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_DOUBLE_EQ(FieldToNumber(QStringLiteral(" 2.5")), 2.5);
  EXPECT_DOUBLE_EQ(FieldToNumber(QStringLiteral(" 2,5")), 0.0);
  EXPECT_EQ(RegionalDelayMask(), QStringLiteral("!90.0;1;_"));
  QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
  EXPECT_DOUBLE_EQ(FieldToNumber(QStringLiteral(" 2,5")), 2.5);
  EXPECT_EQ(RegionalDelayMask(), QStringLiteral("!90,0;1;_"));
}

TEST(Formats, WholeAndTenthsRoundHalvesAwayFromZero) {
  const struct {
    double Value;
    const char *Whole;
    const char *Tenths;
  } Cases[] = {
      {22.5, "23", "22,5"}, {-22.5, "-23", "-22,5"}, {22.4, "22", "22,4"},
      {-0.4, "0", "-0,4"},  {0.25, "0", "0,3"},      {-0.04, "0", "0,0"},
      {25.5, "26", "25,5"}, {0.0, "0", "0,0"},       {999.0, "999", "999,0"},
  };
  for (const auto &c : Cases) {
    EXPECT_EQ(FormatWhole(c.Value), QLatin1String(c.Whole)) << c.Value;
    EXPECT_EQ(FormatTenths(c.Value, QLatin1Char(',')), QLatin1String(c.Tenths)) << c.Value;
  }
  EXPECT_EQ(FormatTenths(2.5, QLatin1Char('.')), QStringLiteral("2.5"));
}

struct TFitCase {
  const char *Mask;
  const char *Value;
  const char *Text;  // the field's text, blanks as spaces
  const char *Shown; // what the user sees
};

TEST(MaskEdit, FitsValuesToTheMask) {
  const TFitCase Cases[] = {
      {"!##0;1;_", "23", " 23", "_23"},      {"!##0;1;_", "-5", " -5", "_-5"},
      {"!##0;1;_", "999", "999", "999"},     {"!##0;1;_", "-99", "-99", "-99"},
      {"!##0;1;_", "", "   ", "___"},        {"!##0;1;_", "   ", "   ", "___"},
      {"!##0;1;_", "0", "  0", "__0"},       {"!90,0;1;_", "2,5", " 2,5", "_2,5"},
      {"!90,0;1;_", "12,5", "12,5", "12,5"}, {"!90,0;1;_", " 0,0", " 0,0", "_0,0"},
      {"!90.0;1;_", "2.5", " 2.5", "_2.5"},  {"!90,0;1;_", "x,5", "  ,5", "__,5"},
  };
  for (const auto &c : Cases) {
    TMaskEdit Edit;
    Edit.setEditMask(QLatin1String(c.Mask));
    Edit.setMaskedText(QLatin1String(c.Value));
    EXPECT_EQ(Edit.maskedText(), QLatin1String(c.Text)) << c.Mask << " <- \"" << c.Value << "\"";
    EXPECT_EQ(Edit.text(), QLatin1String(c.Shown)) << c.Mask << " <- \"" << c.Value << "\"";
  }
}

TEST(MaskEdit, ChangingTheMaskKeepsTheDigitsAndChangesTheLiteral) {
  TMaskEdit Edit;
  Edit.setEditMask(QStringLiteral("!90,0;1;_"));
  Edit.setMaskedText(QStringLiteral("2,5"));
  Edit.setEditMask(QStringLiteral("!90.0;1;_"));
  EXPECT_EQ(Edit.maskedText(), QStringLiteral(" 2.5"));
  EXPECT_EQ(Edit.editMask(), QStringLiteral("!90.0;1;_"));
}

struct TTypingCase {
  const char *Mask;
  const char *Start;
  const char *Keys;
  const char *Text;
  double Number; // with ',' as separator
};

TEST(MaskEdit, TypingOverwritesAndRefusesWhatAPositionDoesNotTake) {
  const TTypingCase Cases[] = {
      {"!##0;1;_", "", "-5", "-5 ", -5.0},
      {"!##0;1;_", "", "123", "123", 123.0},
      {"!##0;1;_", "", "1234", "123", 123.0}, // no room for a fourth
      {"!##0;1;_", "", "a1b", "1  ", 1.0},    // letters refused
      {"!##0;1;_", "", "-", "-  ", 0.0},      // a lone minus is 0
      {"!##0;1;_", "", "12-", "12 ", 12.0},   // the last position takes a digit only
      {"!##0;1;_", "", "+7", "+7 ", 7.0},
      {"!90,0;1;_", "", "5,5", " 5,5", 5.5}, // the literal ends the whole part
      {"!90,0;1;_", "", "12,3", "12,3", 12.3},
      {"!90,0;1;_", "", "123", "12,3", 12.3}, // the literal is stepped over
      {"!90,0;1;_", "", "-1", "1 , ", 0.0},   // no sign in a delay; a blank before the literal
  };
  for (const auto &c : Cases) {
    TMaskEdit Edit;
    Edit.setEditMask(QLatin1String(c.Mask));
    Edit.setMaskedText(QLatin1String(c.Start));
    Edit.setCursorPosition(0);
    QTest::keyClicks(&Edit, QLatin1String(c.Keys));
    EXPECT_EQ(Edit.maskedText(), QLatin1String(c.Text)) << c.Mask << " typed \"" << c.Keys << "\"";
    EXPECT_DOUBLE_EQ(FieldToNumber(Edit.maskedText(), QLatin1Char(',')), c.Number)
        << c.Mask << " typed \"" << c.Keys << "\"";
  }
}

TEST(MaskEdit, BackspaceAndDeleteEmptyPositions) {
  TMaskEdit Edit;
  Edit.setEditMask(QStringLiteral("!##0;1;_"));
  Edit.setMaskedText(QStringLiteral("123"));
  Edit.setCursorPosition(3);
  QTest::keyClick(&Edit, Qt::Key_Backspace);
  EXPECT_EQ(Edit.maskedText(), QStringLiteral("12 "));
  EXPECT_EQ(Edit.text(), QStringLiteral("12_"));
  Edit.setCursorPosition(0);
  QTest::keyClick(&Edit, Qt::Key_Delete);
  EXPECT_EQ(Edit.maskedText(), QStringLiteral(" 2 "));
  Edit.selectAll();
  QTest::keyClick(&Edit, Qt::Key_Backspace);
  EXPECT_EQ(Edit.maskedText(), QStringLiteral("   "));
  EXPECT_DOUBLE_EQ(FieldToNumber(Edit.maskedText(), QLatin1Char(',')), 0.0);
}

TEST(MaskEdit, LeavingTheFieldMovesTheWholePartRight) {
  // Typed from the first position (over the whole field when Start is set), then the field left.
  const struct {
    const char *Mask;
    const char *Start;
    const char *Keys;
    const char *Left; // the text once left, blanks as spaces
    const char *Shown;
  } Cases[] = {
      {"!90,0;1;_", " 0,0", "5", " 5, ", "_5,_"}, {"!##0;1;_", "", "5", "  5", "__5"},
      {"!##0;1;_", "", "-5", " -5", "_-5"},       {"!##0;1;_", "", "12", " 12", "_12"},
      {"!##0;1;_", "", "123", "123", "123"},      {"!##0;1;_", "", "-", "-  ", "-__"},
  };
  for (const auto &c : Cases) {
    QWidget Window;
    auto *Edit = new TMaskEdit(&Window);
    auto *Other = new QLineEdit(&Window);
    Other->move(0, 40);
    Edit->setEditMask(QLatin1String(c.Mask));
    Edit->setMaskedText(QLatin1String(c.Start));
    Window.show();
    Window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Window));
    Edit->setFocus();
    Edit->setCursorPosition(0);
    if (*c.Start != 0)
      Edit->selectAll();
    QTest::keyClicks(Edit, QLatin1String(c.Keys));
    Other->setFocus();
    QCoreApplication::processEvents();
    EXPECT_EQ(Edit->maskedText(), QLatin1String(c.Left)) << c.Mask << " typed \"" << c.Keys << "\"";
    EXPECT_EQ(Edit->text(), QLatin1String(c.Shown)) << c.Mask << " typed \"" << c.Keys << "\"";
    EXPECT_DOUBLE_EQ(FieldToNumber(Edit->maskedText(), QLatin1Char(',')),
                     FieldToNumber(QLatin1String(c.Keys), QLatin1Char(',')))
        << c.Mask << " typed \"" << c.Keys << "\"";
  }
}

} // namespace
} // namespace zol
