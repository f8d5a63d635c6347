// The pool gives items back in the order they were handed in, whatever
// order the threads finish them in.
#include "engine/ordered_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

namespace karva {
namespace {

struct Item {
  int number = 0;
  long result = 0;
};

// Work whose length varies with the item, so that later items often finish first.
void uneven_work(Item& item) {
  long sum = 0;
  for (long i = 0; i < (item.number % 7) * 20000L; ++i) sum += i ^ item.number;
  item.result = sum + item.number;
}

TEST(OrderedWork, ItemsComeBackInTheOrderHandedIn) {
  for (int threads : {0, 1, 3, 8}) {
    OrderedWork<Item> pool(threads, uneven_work);
    int next_in = 0;
    for (int next_out = 0; next_out < 500; ++next_out) {
      while (next_in < 500 && pool.in_flight() < 2 * static_cast<std::size_t>(threads + 1)) {
        auto item = std::make_unique<Item>();
        item->number = next_in++;
        pool.submit(std::move(item));
      }
      const std::unique_ptr<Item> item = pool.next();
      ASSERT_EQ(item->number, next_out) << threads << " threads";
      Item alone{next_out, 0};
      uneven_work(alone);
      ASSERT_EQ(item->result, alone.result);
    }
    EXPECT_EQ(pool.in_flight(), 0u);
  }
}

TEST(OrderedWork, WhatWorkThrowsComesOutWithItsItem) {
  OrderedWork<Item> pool(2, [](Item& item) {
    if (item.number == 1) throw std::runtime_error("item 1");
  });
  for (int n = 0; n < 3; ++n) pool.submit(std::make_unique<Item>(Item{n, 0}));
  EXPECT_EQ(pool.next()->number, 0);
  EXPECT_THROW(pool.next(), std::runtime_error);
  EXPECT_EQ(pool.next()->number, 2);
}

TEST(OrderedWork, ClosingWithItemsInFlightWaitsForTheBegunOnes) {
  std::atomic<int> done{0};
  {
    OrderedWork<Item> pool(3, [&](Item& item) {
      uneven_work(item);
      ++done;
    });
    for (int n = 0; n < 50; ++n) pool.submit(std::make_unique<Item>(Item{n, 0}));
  }
  // Items not begun are dropped; no worker outlives the pool.
  const int finished = done.load();
  EXPECT_LE(finished, 50);
  EXPECT_EQ(done.load(), finished);
}

}  // namespace
}  // namespace karva
