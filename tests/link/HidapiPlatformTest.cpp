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
      {ENODEV, L"", true, true},                 // hidraw's answer to a write after unplug
      {EIO, L"", true, true},                    // hidraw's answer to a read after unplug
      {ESHUTDOWN, L"", true, true},              // the port going down
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

} // namespace
} // namespace zol
