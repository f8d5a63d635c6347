// Items worked on by a pool of threads and handed back in the order they
// were handed in: the reader hands in chunks of records, the workers parse,
// score and format them, and the writer takes them back in file order.
//
// The promise that makes the output the same for any number of threads:
// next() gives the items in submit order, each after its work is done, and
// the work of an item sees nothing but the item (and what the caller shares
// read-only, or through atomics). A stop found in item k is known to the
// caller only when item k comes out of next(), after every item before it:
// just as one thread working through them in order would find it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace karva {

template <typename Item>
class OrderedWork {
 public:
  // With no threads, the work is done at once, in submit. Throws
  // std::system_error, having stopped the threads it started, when a thread
  // cannot be started.
  OrderedWork(int threads, std::function<void(Item&)> work) : work_(std::move(work)) {
    try {
      for (int t = 0; t < threads; ++t) threads_.emplace_back([this] { serve(); });
    } catch (...) {
      close();
      throw;
    }
  }
  // Waits for the items being worked on; items not yet begun are dropped.
  ~OrderedWork() { close(); }
  OrderedWork(const OrderedWork&) = delete;
  OrderedWork& operator=(const OrderedWork&) = delete;

  void submit(std::unique_ptr<Item> item) {
    auto slot = std::make_shared<Slot>();
    slot->item = std::move(item);
    if (threads_.empty()) {
      run(*slot);
      order_.push_back(std::move(slot));
      return;
    }
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      order_.push_back(slot);
      waiting_.push_back(std::move(slot));
    }
    wanted_.notify_one();
  }

  // The items handed in and not yet taken back.
  std::size_t in_flight() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return order_.size();
  }

  // Waits for the oldest item and takes it back; what its work threw is
  // thrown here. Needs an item in flight.
  std::unique_ptr<Item> next() {
    std::shared_ptr<Slot> slot;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      finished_.wait(lock, [this] { return order_.front()->done; });
      slot = std::move(order_.front());
      order_.pop_front();
    }
    if (slot->error) std::rethrow_exception(slot->error);
    return std::move(slot->item);
  }

 private:
  struct Slot {
    std::unique_ptr<Item> item;
    bool done = false;  // written under the mutex when there are threads
    std::exception_ptr error;
  };

  void close() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    wanted_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

  void run(Slot& slot) {
    try {
      work_(*slot.item);
    } catch (...) {
      slot.error = std::current_exception();
    }
    slot.done = true;
  }

  void serve() {
    for (;;) {
      std::shared_ptr<Slot> slot;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wanted_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
        if (closing_) return;
        slot = std::move(waiting_.front());
        waiting_.pop_front();
      }
      // The item is this thread's alone until it is marked done.
      std::exception_ptr error;
      try {
        work_(*slot->item);
      } catch (...) {
        error = std::current_exception();
      }
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        slot->error = error;
        slot->done = true;
      }
      finished_.notify_all();
    }
  }

  std::function<void(Item&)> work_;
  mutable std::mutex mutex_;
  std::condition_variable wanted_;    // an item waits for a worker, or the pool closes
  std::condition_variable finished_;  // an item is done
  std::deque<std::shared_ptr<Slot>> order_;    // handed in, not yet taken back
  std::deque<std::shared_ptr<Slot>> waiting_;  // not yet begun
  bool closing_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace karva
