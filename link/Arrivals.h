#pragma once

#include <cstdint>
#include <memory>

namespace zol {

/// The system's news of HID devices with given ids being added, taken without waiting (Linux:
/// a udev monitor on hidraw nodes; Windows: the configuration manager's notifications for the
/// HID interface class). The build picks the system's file.
class TArrivalWatch {
public:
  virtual ~TArrivalWatch() = default;
  /// How many such devices were added since the watch started.
  virtual std::uint64_t Count() = 0;
};

/// A watch for the ids, or nullptr where the system gives no such news (no udev, no
/// notifications).
std::unique_ptr<TArrivalWatch> WatchSystemArrivals(std::uint16_t VendorId, std::uint16_t ProductId);

} // namespace zol
