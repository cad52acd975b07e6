#include <gtest/gtest.h>

#include "link/USB.h"
#include "tests/link/FakeHidPlatform.h"

namespace zol {
namespace {

using test::FakeHidPlatform;

struct Rw8Device : THIDDevice {
  explicit Rw8Device(HidPlatform &p) : THIDDevice(p) {
    Vid = 0x0451;
    Pid = 0x0023;
  }
  ~Rw8Device() override { CloseDevice(); }
};

TEST(Discovery, NoDeviceGivesAnEmptyList) {
  FakeHidPlatform platform;
  Rw8Device device(platform);
  EXPECT_EQ(device.Enumerate(), 0);
  EXPECT_EQ(device.Items.Count(), 0);
  EXPECT_FALSE(device.OpenDevice(0));
}

TEST(Discovery, ClassDefaultsAreTheVendorAndProductFour) {
  FakeHidPlatform platform;
  THIDDevice device(platform);
  EXPECT_EQ(device.Vid, 0x0451);
  EXPECT_EQ(device.Pid, 4);
  EXPECT_FALSE(device.ViewRegisteredDevices);
}

TEST(Discovery, ListsMatchingDevicesInPlatformOrderOnly) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw0", 0x046D, 0xC077);  // a mouse
  platform.Add("/dev/hidraw1");                  // first instrument
  platform.Add("/dev/hidraw2", 0x0451, 0x0024);  // right vendor, other product
  platform.Add("/dev/hidraw3");                  // second instrument
  platform.Add("/dev/hidraw4").Openable = false; // held exclusively elsewhere
  Rw8Device device(platform);

  ASSERT_EQ(device.Enumerate(), 2);
  std::string path;
  device.DevicePath(0, path);
  EXPECT_EQ(path, "/dev/hidraw1");
  device.DevicePath(1, path);
  EXPECT_EQ(path, "/dev/hidraw3");
  for (int outside : {-1, 2, 100}) {
    device.DevicePath(outside, path);
    EXPECT_EQ(path, "") << outside;
  }
  // Registered-but-absent interfaces cannot be opened: the same list either way.
  device.ViewRegisteredDevices = true;
  EXPECT_EQ(device.Enumerate(), 2);
  EXPECT_EQ(platform.OpenHandles(), 0) << "every handle opened for discovery is closed";
}

TEST(Discovery, IdentityQueriesCountFromOneAndShrinkFailuresToDefaults) {
  FakeHidPlatform platform;
  platform.Add("/dev/hidraw1");
  platform.Add("/dev/hidraw2").HasStrings = false;
  platform.Add("/dev/hidraw3");
  Rw8Device device(platform);
  ASSERT_EQ(device.Enumerate(), 3);

  std::string m, p, s;
  device.Manufacturer(1, m);
  device.Product(1, p);
  device.SerialNumber(1, s);
  EXPECT_EQ(m, "Maker");
  EXPECT_EQ(p, "RW8");
  EXPECT_EQ(s, "SN-/dev/hidraw1");

  // The device gives no strings.
  device.Manufacturer(2, m);
  device.Product(2, p);
  device.SerialNumber(2, s);
  EXPECT_EQ(m, "");
  EXPECT_EQ(p, "");
  EXPECT_EQ(s, "unknown");

  // Listed, then unplugged: cannot be opened any more.
  platform.SetPresent(2, false);
  device.Manufacturer(3, m);
  device.SerialNumber(3, s);
  EXPECT_EQ(m, "");
  EXPECT_EQ(s, "unknown");

  // Beyond the list: empty for all three, not "unknown".
  device.Manufacturer(4, m);
  device.Product(4, p);
  device.SerialNumber(4, s);
  EXPECT_EQ(m, "");
  EXPECT_EQ(p, "");
  EXPECT_EQ(s, "");
  EXPECT_EQ(platform.OpenHandles(), 0);
}

} // namespace
} // namespace zol
