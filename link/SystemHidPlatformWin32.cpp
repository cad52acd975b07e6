#include "link/SystemHidPlatform.h"
#include "link/Win32HidPlatform.h"

namespace zol {

std::unique_ptr<HidPlatform> MakeSystemHidPlatform() {
  return std::make_unique<Win32HidPlatform>();
}

} // namespace zol
