#pragma once

#include <string>

#include "protocol/Errors.h"

namespace zol {

/// The core's error in zolctl's words (English, one line); a path or the system's words in it
/// are shown safely (no control character reaches the terminal).
std::string Worded(const TError &Error);

} // namespace zol
