#pragma once

#include <cstdint>

namespace zol {

/// The worker's scheduling priority: idle while nothing moves, normal while reports flow.
enum class TThreadPriority : std::uint8_t { Idle, Normal };

/// Sets the calling thread's scheduling priority to idle or normal, where the system allows it.
/// Returns false when the system refused; the thread then keeps the priority it had.
bool SetCurrentThreadPriority(TThreadPriority Priority);

} // namespace zol
