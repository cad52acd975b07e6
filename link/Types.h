#pragma once

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

/// A notification with its sender; an empty one is skipped.
using TNotifyEvent = std::function<void(TObject *Sender)>;

} // namespace zol
