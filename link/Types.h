#pragma once

#include <cstddef>
#include <functional>

namespace zol {

/// Base of every component that raises events, so that a handler knows its sender.
class TObject {
public:
  TObject() = default;
  TObject(const TObject &) = delete;
  TObject &operator=(const TObject &) = delete;
  virtual ~TObject() = default;
};

/// Overwrites Size bytes with zeros in a way the compiler may not leave out: for buffers that
/// held a password.
inline void WipeBytes(void *Data, std::size_t Size) {
  volatile unsigned char *p = static_cast<volatile unsigned char *>(Data);
  while (Size--)
    *p++ = 0;
}

/// A notification with its sender; an empty one is skipped.
using TNotifyEvent = std::function<void(TObject *Sender)>;

} // namespace zol
