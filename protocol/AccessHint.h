#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zol {

class HidPlatform;

/// What keeps this program from opening an instrument it sees, as far as this system shows, and
/// how to mend it: the text zolctl and the windows give, in both their languages.
struct TAccessHint {
  std::string English;
  std::string French;
};

/// The hint for this system. On Linux it looks for the udev rules in Root's /usr/lib/udev/rules.d
/// and /etc/udev/rules.d (Root empty: the system's own): 70-rw8.rules gives the instrument to
/// the user at the seat, 70-rw8-plugdev.rules to the group plugdev.
TAccessHint AccessHint(const std::string &Root = {});

/// An instrument the system lists but this program may not open, and the system's reason.
struct TUnopenable {
  std::string Path;
  std::string Reason;
};

/// The HID devices of ids VendorId, ProductId that Platform lists but cannot open.
std::vector<TUnopenable> UnopenableInstruments(HidPlatform &Platform, std::uint16_t VendorId,
                                               std::uint16_t ProductId);

} // namespace zol
