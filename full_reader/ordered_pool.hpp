// A pool of worker threads that produce items 0..count-1 ahead of one consumer, which takes them
// strictly in index order; the look-ahead is bounded so memory does not grow with the count.
//
//   worker:   i = next unclaimed index; wait until i < taken + look_ahead;
//             slot[i % look_ahead] = produce(i); tell the consumer
//   consumer: take(0), take(1), ...: wait for slot[i % look_ahead], move its value out
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "reader_lib/error.hpp"

namespace vornak {

// Value is what a worker produces for one index (default-constructible and movable); a failure
// travels inside it, and the consumer decides whether to stop taking.
template <typename Value>
class OrderedPool {
 public:
  // `count` items, at most `look_ahead` (at least one) of them produced and not yet taken.
  OrderedPool(std::size_t count, std::size_t look_ahead) : count_(count), slots_(std::max<std::size_t>(look_ahead, 1)) {}
  OrderedPool(const OrderedPool&) = delete;
  OrderedPool& operator=(const OrderedPool&) = delete;
  ~OrderedPool() { stop(); }

  // Starts up to `workers` threads. Each calls `make_producer()` once, on its own thread, for a
  // callable `Value(std::size_t index)` of its own, so per-thread scratch lives in that callable.
  // The error, when not even one thread can be started, is the system's.
  template <typename MakeProducer>
  Result<void> start(unsigned workers, const MakeProducer& make_producer) {
    for (unsigned i = 0; i < workers; ++i) {
      try {
        threads_.emplace_back([this, make_producer] {
          auto produce = make_producer();
          work(produce);
        });
      } catch (const std::system_error& error) {
        if (threads_.empty()) return std::unexpected(Error::io(error.code().value()));
        break;  // the threads started so far do the work
      }
    }
    return {};
  }

  // Item `index`, which must be the one after the previous call's (0 first), once it is produced.
  Value take(std::size_t index) {
    Slot& slot = slots_[index % slots_.size()];
    Value value;
    {
      std::unique_lock lock(mutex_);
      produced_.wait(lock, [&] { return slot.ready; });
      value = std::move(slot.value);
      slot.ready = false;
      taken_ = index + 1;
    }
    taken_changed_.notify_all();
    return value;
  }

  // Stops the workers (after the items they are producing) and joins them; the consumer may stop
  // taking at any index.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    taken_changed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  struct Slot {
    bool ready = false;
    Value value;
  };

  template <typename Produce>
  void work(Produce& produce) {
    for (;;) {
      std::size_t index = 0;
      {
        std::unique_lock lock(mutex_);
        if (stopping_ || next_ >= count_) return;
        index = next_++;
        taken_changed_.wait(lock, [&] { return stopping_ || index < taken_ + slots_.size(); });
        if (stopping_) return;
      }
      Value value = produce(index);
      {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[index % slots_.size()];
        slot.value = std::move(value);
        slot.ready = true;
      }
      produced_.notify_all();
    }
  }

  const std::size_t count_;
  std::mutex mutex_;
  std::condition_variable produced_;
  std::condition_variable taken_changed_;
  std::vector<Slot> slots_;
  std::vector<std::thread> threads_;
  std::size_t next_ = 0;   // the next index a worker claims
  std::size_t taken_ = 0;  // items the consumer has taken
  bool stopping_ = false;
};

}  // namespace vornak
