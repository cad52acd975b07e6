#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "link/Types.h"

namespace zol {

/// The paths of the matching devices, in the order the platform listed them. Safe to read from
/// the worker (identity queries) while the user-interface thread enumerates.
class TItemList : public TObject {
public:
  int Count() const;
  /// Entry i (0-based), or an empty text when i is outside 0 .. Count() - 1.
  std::string Get(int i) const;
  void Clear();
  /// Appends text and returns the new count.
  int Add(const std::string &Text);

private:
  mutable std::mutex Mutex; //!< Protects Entries.
  std::vector<std::string> Entries;
};

} // namespace zol
