// The ordered pool under the writers: items come out in index order whatever order the workers
// finish in, no worker runs further ahead than the look-ahead, and a consumer that stops taking
// in the middle (the writers do on the first failure) stops the workers cleanly.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "full_reader/ordered_pool.hpp"

namespace {

using vornak::OrderedPool;

struct Item {
  std::size_t index = 0;
  bool failed = false;
};

struct PoolCase {
  std::string name;
  std::size_t count;
  unsigned workers;
  std::size_t look_ahead;
  std::optional<std::size_t> failing;  // the consumer stops at the first failed item
};

void PrintTo(const PoolCase& c, std::ostream* out) { *out << c.name; }

class OrderedPoolCases : public testing::TestWithParam<PoolCase> {};

TEST_P(OrderedPoolCases, TakesInOrderWithinTheLookAhead) {
  const PoolCase& c = GetParam();
  std::atomic<std::size_t> requested{0};  // items the consumer has asked for
  std::atomic<std::size_t> produced{0};
  std::atomic<std::size_t> producers{0};
  std::atomic<bool> ran_ahead{false};
  std::optional<std::size_t> stopped_at;
  std::size_t taken_in_order = 0;
  {
    OrderedPool<Item> pool(c.count, c.look_ahead);
    const auto make_producer = [&] {
      producers.fetch_add(1);
      return [&, calls = std::size_t{0}](std::size_t index) mutable {
        if (index >= requested.load() + c.look_ahead) ran_ahead = true;
        // Uneven work, so that workers finish out of index order.
        if (++calls % 3 == 0) std::this_thread::yield();
        produced.fetch_add(1);
        return Item{index, c.failing == index};
      };
    };
    ASSERT_TRUE(pool.start(c.workers, make_producer));
    for (std::size_t index = 0; index < c.count; ++index) {
      requested.store(index + 1);
      const Item item = pool.take(index);
      ASSERT_EQ(item.index, index);
      if (item.failed) {
        stopped_at = index;
        break;
      }
      ++taken_in_order;
    }
  }  // the pool stops and joins its workers here, also when items are left
  EXPECT_EQ(stopped_at, c.failing);
  EXPECT_EQ(taken_in_order, c.failing.value_or(c.count));
  EXPECT_FALSE(ran_ahead) << "an item was produced more than " << c.look_ahead << " ahead of the consumer";
  EXPECT_LE(produced.load(), c.failing ? *c.failing + 1 + c.look_ahead : c.count);
  EXPECT_EQ(producers.load(), c.workers);
}

INSTANTIATE_TEST_SUITE_P(
    Pool, OrderedPoolCases,
    testing::Values(PoolCase{"ManyWorkers", 2000, 16, 32, std::nullopt},
                    PoolCase{"MoreWorkersThanRoom", 500, 8, 2, std::nullopt},
                    PoolCase{"OneWorker", 300, 1, 2, std::nullopt},
                    PoolCase{"LookAheadOfOne", 200, 4, 1, std::nullopt},
                    PoolCase{"FailureInTheMiddle", 1000, 8, 16, 437},
                    PoolCase{"FailureFirst", 100, 4, 8, 0},
                    PoolCase{"FailureLast", 100, 4, 8, 99},
                    PoolCase{"ZeroItems", 0, 4, 8, std::nullopt}),
    [](const testing::TestParamInfo<PoolCase>& param) { return param.param.name; });

}  // namespace
