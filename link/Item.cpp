#include "link/Item.h"

namespace zol {

int TItemList::Count() const {
  std::lock_guard Lock(Mutex);
  return static_cast<int>(Entries.size());
}

std::string TItemList::Get(int i) const {
  std::lock_guard Lock(Mutex);
  if (i < 0 || i >= static_cast<int>(Entries.size()))
    return {};
  return Entries[static_cast<std::size_t>(i)];
}

void TItemList::Clear() {
  std::lock_guard Lock(Mutex);
  Entries.clear();
  Entries.shrink_to_fit();
}

int TItemList::Add(const std::string &Text) {
  std::lock_guard Lock(Mutex);
  Entries.push_back(Text);
  return static_cast<int>(Entries.size());
}

} // namespace zol
