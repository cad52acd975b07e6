#include <gtest/gtest.h>

#include <cerrno>

#include "link/HidapiPlatform.h"

namespace zol {
namespace {

TEST(HidapiPlatform, OnlyFailuresThatSayTheDeviceLeftCloseAKeptHandle) {
  struct Case {
    int error;
    const wchar_t *text;
    bool nodeThere;
    bool gone;
  };
  const Case cases[] = {
      {ENODEV, L"", true, true},    // hidraw's answer to a write after unplug
      {EIO, L"", true, true},       // hidraw's answer to a read after unplug
      {ESHUTDOWN, L"", true, true}, // the port going down
      {0, L"hid_read_timeout: unexpected poll error (device disconnected)", true, true},
      {EINTR, L"Interrupted system call", false, true}, // the node has gone
      {EINTR, L"Interrupted system call", true, false},
      {EAGAIN, L"", true, false},
      {0, L"", true, false},
  };
  for (const Case &c : cases)
    EXPECT_EQ(HidapiPlatform::ReportsDeviceGone(c.error, c.text, c.nodeThere), c.gone)
        << c.error << " " << c.nodeThere;
}

TEST(HidapiPlatform, ListsTheNodesHidapiWouldList) {
  const std::pair<const char *, bool> cases[] = {
      {"DRIVER=hid-generic\nHID_ID=0003:00000451:00000023\nHID_NAME=KOVA RW8\n"
       "HID_PHYS=usb-dummy_hcd.0-1/input0\nHID_UNIQ=SIMRW80000000001\nMODALIAS=hid:b0003",
       true},
      {"HID_ID=0005:0000046D:0000B012\nHID_NAME=Mouse\nHID_UNIQ=\n", true}, // Bluetooth, no serial
      {"HID_ID=0006:00000000:00000000\nHID_NAME=uhid\nHID_UNIQ=\n", false}, // a virtual bus
      {"HID_ID=0003:00000451:00000023\nHID_NAME=KOVA RW8\n", false},        // no serial line
      {"HID_ID=zz\nHID_NAME=x\nHID_UNIQ=\n", false},
      {"", false},
  };
  for (const auto &[uevent, listed] : cases)
    EXPECT_EQ(HidapiPlatform::ListableUevent(uevent), listed) << uevent;
}

} // namespace
} // namespace zol
