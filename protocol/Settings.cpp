#include "protocol/Settings.h"

#include <algorithm>
#include <cstring>

namespace zol {

std::string TTagField::Get() const {
  return std::string(Chars, std::min<std::size_t>(Length, kTagCapacity));
}

void TTagField::Set(std::string_view Text) {
  const std::size_t n = std::min<std::size_t>(Text.size(), kTagCapacity);
  std::memcpy(Chars, Text.data(), n);
  Length = static_cast<std::uint8_t>(n);
}

} // namespace zol
