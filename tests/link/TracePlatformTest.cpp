#include <gtest/gtest.h>

#include "link/TracePlatform.h"
#include "sim/SimPlatform.h"

namespace zol {
namespace {

// zolctl always talks through its tap: what the platform says of kept devices and of the
// instrument's identity must reach the channel through it, or on Linux zolctl would open the
// node every turn and could take another device on a reused node for its instrument.
TEST(TracePlatform, PassesOnTheKeptDeviceAndTheInstrumentsIdentity) {
  SimPlatform Sim(2);
  TracePlatform Tap(Sim, nullptr, false);
  EXPECT_EQ(Tap.KeepsDevicesOpen(), Sim.KeepsDevicesOpen());
  EXPECT_EQ(Tap.ReusesPaths(), Sim.ReusesPaths());
  const HidHandle h = Tap.Open(Sim.PathOf(1));
  ASSERT_NE(h, kInvalidHidHandle);
  HidAttributes a;
  ASSERT_TRUE(Tap.GetAttributes(h, a));
  HidIdentity Who{a.VendorID, a.ProductID, {}};
  ASSERT_TRUE(Tap.GetSerialNumberString(h, Who.SerialNumber));
  EXPECT_TRUE(Tap.StillThere(h));
  Tap.Close(h);
  EXPECT_EQ(Tap.MatchIdentity(Sim.PathOf(1), Who), Sim.MatchIdentity(Sim.PathOf(1), Who));
  EXPECT_EQ(Tap.MatchIdentity(Sim.PathOf(1), Who), HidIdentityMatch::Same);
  std::string Found;
  ASSERT_TRUE(Tap.FindIdentity(Who, Found));
  EXPECT_EQ(Found, Sim.PathOf(1));
}

} // namespace
} // namespace zol
