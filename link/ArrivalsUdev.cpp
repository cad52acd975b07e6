// Arrivals on Linux: a udev monitor of the hidraw subsystem. Its socket does not block: Count
// takes what has come and returns.
#include "link/Arrivals.h"

#include <libudev.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace zol {

namespace {

/// The 4-digit hexadecimal id a sysfs attribute holds ("0451"), or -1.
long HexAttribute(udev_device *Device, const char *Name) {
  const char *Text = udev_device_get_sysattr_value(Device, Name);
  if (Text == nullptr)
    return -1;
  char *End = nullptr;
  const long Value = std::strtol(Text, &End, 16);
  return End != Text ? Value : -1;
}

class TUdevArrivals final : public TArrivalWatch {
public:
  TUdevArrivals(udev *Udev, udev_monitor *Monitor, std::uint16_t VendorId, std::uint16_t ProductId)
      : FUdev(Udev), FMonitor(Monitor), FVendor(VendorId), FProduct(ProductId) {}
  ~TUdevArrivals() override {
    udev_monitor_unref(FMonitor);
    udev_unref(FUdev);
  }

  std::uint64_t Count() override {
    // The monitor's socket is non-blocking: receive gives nullptr once nothing is waiting.
    while (udev_device *Device = udev_monitor_receive_device(FMonitor)) {
      const char *Action = udev_device_get_action(Device);
      if (Action != nullptr && std::strcmp(Action, "add") == 0 && Matches(Device))
        ++FCount;
      udev_device_unref(Device);
    }
    return FCount;
  }

private:
  bool Matches(udev_device *Node) const {
    // The USB device above the hidraw node holds the ids (the parent is owned by Node).
    udev_device *Usb = udev_device_get_parent_with_subsystem_devtype(Node, "usb", "usb_device");
    return Usb != nullptr && HexAttribute(Usb, "idVendor") == FVendor &&
           HexAttribute(Usb, "idProduct") == FProduct;
  }

  udev *FUdev;
  udev_monitor *FMonitor;
  std::uint16_t FVendor;
  std::uint16_t FProduct;
  std::uint64_t FCount = 0;
};

} // namespace

std::unique_ptr<TArrivalWatch> WatchSystemArrivals(std::uint16_t VendorId,
                                                   std::uint16_t ProductId) {
  udev *Udev = udev_new();
  if (Udev == nullptr)
    return nullptr;
  // Where udev runs, its news comes once its rules have given the node its owner and mode; a
  // system without it (a container, a minimal machine) still has the kernel's.
  const char *Source = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
  udev_monitor *Monitor = udev_monitor_new_from_netlink(Udev, Source);
  if (Monitor == nullptr ||
      udev_monitor_filter_add_match_subsystem_devtype(Monitor, "hidraw", nullptr) < 0 ||
      udev_monitor_enable_receiving(Monitor) < 0) {
    if (Monitor != nullptr)
      udev_monitor_unref(Monitor);
    udev_unref(Udev);
    return nullptr;
  }
  return std::make_unique<TUdevArrivals>(Udev, Monitor, VendorId, ProductId);
}

} // namespace zol
