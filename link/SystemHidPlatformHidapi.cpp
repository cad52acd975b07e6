#include "link/HidapiPlatform.h"
#include "link/SystemHidPlatform.h"

namespace zol {

std::unique_ptr<HidPlatform> MakeSystemHidPlatform() {
  return std::make_unique<HidapiPlatform>();
}

} // namespace zol
