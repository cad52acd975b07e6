#pragma once

#include "link/USB.h"

namespace zol {

/// Sets the calling thread's scheduling priority to idle or normal, where the system allows it.
/// Returns false when the system refused; the thread then keeps the priority it had.
bool SetCurrentThreadPriority(TThreadPriority priority);

} // namespace zol
