#include <gtest/gtest.h>

#include "tools/ZolctlWords.h"

#include <set>

namespace zol {
namespace {

TError Filled(TErrorCode Code) {
  TError Error;
  Error.Code = Code;
  Error.Quantity = TQuantity::SetPoint;
  Error.Alarm = 1;
  Error.Value = 4000.0;
  Error.Number = 3;
  Error.Text = Code <= TErrorCode::ClockOutOfRange ? "1999-12-31 23:00:00" : "/x/T\x1B[2J.ZOL";
  Error.System.Reason = TSystemReason::ReadOnlyFile;
  Error.System.Count = 0444;
  return Error;
}

TEST(ZolctlWords, EveryErrorOfTheCoreInEnglishWithItsValuesAndNoControlCharacter) {
  const char *const Expected[] = {
      "Alarm 1 set point 4000.0 °C cannot be sent: it is not a number",
      "Alarm 1 set point 4000.0 °C cannot be sent: the instrument takes -3276.8 to 3276.7 °C",
      "Clock 1999-12-31 23:00:00 cannot be sent: it is not a valid date and time",
      "Clock 1999-12-31 23:00:00 cannot be sent: the instrument counts days from 1/1/2000 to "
      "6/6/2179",
      "History record 3 cannot be asked for: the instrument numbers them 0 to 255",
      "Reading the history was interrupted by another command before record 3 came. Read it "
      "again.",
      "History record 3 did not come: the instrument went away. Read the history again.",
      "History record 3 did not come: the instrument did not answer its request. Read the "
      "history again.",
      "Sending all settings was interrupted by another command: not every setting reached the "
      "instrument. Send them again.",
      "Reading all settings was interrupted by another command. Read them again.",
      "Cannot read /x/T\\x1B[2J.ZOL: the file is read-only (permissions 0444): it is left as it "
      "was",
      "Cannot write /x/T\\x1B[2J.ZOL: the file is read-only (permissions 0444): it is left as it "
      "was",
      "/x/T\\x1B[2J.ZOL is not a parameter file: it does not start with \"ZOLUSB V1.0-KOVA\"",
      "/x/T\\x1B[2J.ZOL is not a parameter file: it is shorter than 88 bytes",
      "/x/T\\x1B[2J.ZOL",
  };
  static_assert(std::size(Expected) == std::size(kErrorCodes));
  for (std::size_t i = 0; i < std::size(kErrorCodes); ++i)
    EXPECT_EQ(Worded(Filled(kErrorCodes[i])), Expected[i]) << ErrorCodeName(kErrorCodes[i]);

  TError Delay = Filled(TErrorCode::NotANumber);
  Delay.Quantity = TQuantity::Delay;
  Delay.Alarm = 0;
  EXPECT_EQ(Worded(Delay), "Delay 4000.0 s cannot be sent: it is not a number");
  std::set<std::string> Reasons;
  for (const TSystemReason Reason : kSystemReasons)
    Reasons.insert(EnglishSystemReason({Reason, 2, "the system's words"}));
  EXPECT_EQ(Reasons.size(), std::size(kSystemReasons)) << "two reasons worded alike";
}

} // namespace
} // namespace zol
