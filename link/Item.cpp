#include "link/Item.h"

namespace zol {

std::string TItemList::Get(int i) const {
  if (i < 0 || i >= Count())
    return {};
  return Entries[static_cast<std::size_t>(i)];
}

void TItemList::Clear() {
  Entries.clear();
  Entries.shrink_to_fit();
}

int TItemList::Add(const std::string &text) {
  Entries.push_back(text);
  return Count();
}

} // namespace zol
