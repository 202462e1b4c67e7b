#include "index/layer.h"

#include <gtest/gtest.h>

#include <vector>

#include "reference.h"

namespace pvdb::index {
namespace {

TEST(ZeroNode, InsertShiftsAndDropsTheLast) {
  ZeroNode node;
  node.insert(0, 10);
  node.insert(1, 12);
  node.insert(1, 11);
  node.insert(0, 9);
  EXPECT_EQ(reference::slots(node), (std::vector<PointIndex>{9, 10, 11, 12}));
  node.insert(64, 99);  // past the last slot: nothing
  node.insert(1000, 99);
  EXPECT_EQ(reference::slots(node).size(), 4u);

  ZeroNode full;
  for (PointIndex p = 0; p < kZeroSlots; ++p) full.insert(p, p);
  full.insert(63, 500);  // replaces the last entry
  EXPECT_EQ(full.slots[62], 62u);
  EXPECT_EQ(full.slots[63], 500u);
  full.insert(0, 600);  // shifts everything up; 500 falls off
  EXPECT_EQ(full.slots[0], 600u);
  EXPECT_EQ(full.slots[1], 0u);
  EXPECT_EQ(full.slots[63], 62u);
}

TEST(UpperNode, FromZeroCopiesTheFirst32Slots) {
  ZeroNode node;
  for (PointIndex p = 0; p < 40; ++p) node.slots[p] = 100 + p;
  const UpperNode upper = UpperNode::from_zero(node);
  for (std::size_t k = 0; k < kUpperSlots; ++k) EXPECT_EQ(upper.slots[k], 100 + k);

  ZeroNode short_list;
  short_list.slots[0] = 7;
  const UpperNode partial = UpperNode::from_zero(short_list);
  EXPECT_EQ(partial.slots[0], 7u);
  EXPECT_EQ(partial.slots[1], kEmptySlot);
}

}  // namespace
}  // namespace pvdb::index
