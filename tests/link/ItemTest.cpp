#include <gtest/gtest.h>

#include "link/Item.h"

namespace zol {
namespace {

TEST(ItemList, AddGetClearFollowTheListRules) {
  TItemList items;
  EXPECT_EQ(items.Count(), 0);
  EXPECT_EQ(items.Add("a"), 1);
  EXPECT_EQ(items.Add("b"), 2);
  EXPECT_EQ(items.Get(0), "a");
  EXPECT_EQ(items.Get(1), "b");
  // Outside the list: empty text, never a fault.
  EXPECT_EQ(items.Get(-1), "");
  EXPECT_EQ(items.Get(2), "");
  items.Clear();
  EXPECT_EQ(items.Count(), 0);
  EXPECT_EQ(items.Get(0), "");
}

} // namespace
} // namespace zol
