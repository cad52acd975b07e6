#include <gtest/gtest.h>

#include "sim/Faults.h"
#include "sim/VirtualRW8.h"

namespace zol {
namespace {

/// A value within the fault's range, as text.
std::string Sample(const TSimFaultInfo &F) {
  switch (F.Value) {
  case TSimFaultValue::None:
    return F.Name;
  case TSimFaultValue::Share:
    return std::string(F.Name) + "=0.25";
  case TSimFaultValue::Integer:
    return std::string(F.Name) + "=" + std::to_string(static_cast<int>(F.Max));
  case TSimFaultValue::Text:
    return std::string(F.Name) + "=" + std::string(static_cast<std::size_t>(F.Max), 'A');
  }
  return {};
}

TEST(SimFaults, EveryFaultParsesWithAndWithoutItsInstrument) {
  for (const TSimFaultInfo &f : SimFaultTable()) {
    EXPECT_EQ(&SimFaultInfo(f.Kind), &f) << f.Name;
    const TSimFaultUser user =
        f.TakenBy(TSimFaultUser::Zolctl) ? TSimFaultUser::Zolctl : TSimFaultUser::Gadget;
    for (const std::string prefix : {"", "3:"}) {
      const std::string text = prefix + Sample(f);
      const TSimFaultParse p = ParseSimFault(text, user, 15);
      ASSERT_TRUE(p.Fault) << text << ": " << p.Error;
      EXPECT_EQ(p.Fault->Kind, f.Kind) << text;
      EXPECT_EQ(p.Fault->Instrument, prefix.empty() ? -1 : 3) << text;
      EXPECT_EQ(SimFaultText(*p.Fault), text);
    }
  }
  const TSimFaultParse lag = ParseSimFault("0:lag=3", TSimFaultUser::Zolctl, 15);
  ASSERT_TRUE(lag.Fault) << lag.Error;
  EXPECT_EQ(lag.Fault->Number, 3);
  EXPECT_EQ(ParseSimFault("drop=+.5", TSimFaultUser::Gadget, -1).Fault->Share, 0.5);
}

TEST(SimFaults, BadOnesAreRefusedWithTheirReason) {
  struct Case {
    const char *Text;
    TSimFaultUser User;
    int MaxInstrument;
    const char *Message;
  };
  const TSimFaultUser z = TSimFaultUser::Zolctl, g = TSimFaultUser::Gadget;
  const Case cases[] = {
      {"gremlins", z, 15, "unknown fault gremlins (known: silent, "},
      {"silent=1", z, 15, "silent takes no value"},
      {"drop", z, 15, "drop takes a value: drop=SHARE (SHARE 0 to 1)"},
      {"drop=", g, -1, "drop=SHARE takes a number, SHARE 0 to 1"},
      {"corrupt=1.5", z, 15, "corrupt=SHARE takes a number, SHARE 0 to 1"},
      {"drop=nan", z, 15, "SHARE 0 to 1"},
      {"slow=0", z, 15, "slow=MS takes a number, MS 1 to 1000"},
      {"blip=60001", z, 15, "MS 1 to 60000"},
      {"lag=3x", z, 15, "lag=N takes a number, N 1 to 100"},
      {"serial=", z, 15, "serial=TEXT takes 1 to 32 characters"},
      {"16:silent", z, 15, "K in K:F is an instrument from 0 to 15"},
      {"x:silent", z, 15, "K in K:F is an instrument from 0 to 15"},
      {"0:silent", g, -1, "no instrument index"},
      {"permission-denied", g, -1, "fault permission-denied is not simulated here"},
      {"healthy", z, 15, "fault healthy is not simulated here"},
  };
  for (const Case &c : cases) {
    const TSimFaultParse p = ParseSimFault(c.Text, c.User, c.MaxInstrument);
    EXPECT_FALSE(p.Fault) << c.Text;
    EXPECT_NE(p.Error.find(c.Message), std::string::npos) << c.Text << ": " << p.Error;
  }
}

TEST(SimFaults, AppliedToTheInstrument) {
  TVirtualRW8Options options;
  options.Streaming = false;
  VirtualRW8 instrument(options);
  const auto apply = [&](const char *Text, TSimFaultUser User) {
    return ApplySimFault(instrument, *ParseSimFault(Text, User, 15).Fault);
  };
  std::uint8_t report[16];
  ASSERT_TRUE(instrument.Tick(std::chrono::milliseconds(10), report));
  for (const char *text : {"silent", "oversized", "permission-denied", "slow=250"})
    EXPECT_TRUE(apply(text, TSimFaultUser::Zolctl)) << text;
  EXPECT_FALSE(apply("lag=3", TSimFaultUser::Zolctl)) << "zolctl's own, not the instrument's";
  const TSimLinkState link = instrument.LinkState();
  EXPECT_TRUE(link.OversizedReports && link.PermissionDenied);
  EXPECT_EQ(link.ReportPeriod, 250);
  EXPECT_FALSE(instrument.Tick(std::chrono::milliseconds(10), report));
  EXPECT_TRUE(apply("healthy", TSimFaultUser::Gadget));
  EXPECT_TRUE(instrument.Tick(std::chrono::milliseconds(10), report));
}

} // namespace
} // namespace zol
