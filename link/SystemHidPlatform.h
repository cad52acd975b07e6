#pragma once

#include <memory>

#include "link/HidPlatform.h"

namespace zol {

/// The HID services of the system the program was built for: the Win32 HID API on Windows,
/// hidapi elsewhere. Create it before any thread uses HID and destroy it after the last channel
/// has been closed.
std::unique_ptr<HidPlatform> MakeSystemHidPlatform();

} // namespace zol
