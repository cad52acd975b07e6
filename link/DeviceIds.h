#pragma once

#include <cstdint>

namespace zol {

/// USB vendor id of the RW8 (the vendor id of its USB controller's maker).
inline constexpr std::uint16_t kRW8VendorId = 0x0451;
/// USB product id of the RW8.
inline constexpr std::uint16_t kRW8ProductId = 0x0023;
/// Product id a THIDDevice looks for until its owner names another.
inline constexpr std::uint16_t kDefaultHidProductId = 4;

} // namespace zol
