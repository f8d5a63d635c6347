// The service's one memory budget: the bodies being read and the rows
// being scored draw from it, so that what every request in flight holds
// together stays within it, whatever the mix. A request that finds no
// room is told to come back (503), never left to grow the process.
#pragma once

#include <atomic>
#include <cstddef>

namespace karva {

class MemoryBudget {
 public:
  explicit MemoryBudget(std::size_t bytes) : limit_(bytes) {}
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // What one request holds of the budget; given back when it ends.
  class Charge {
   public:
    explicit Charge(MemoryBudget* budget = nullptr) : budget_(budget) {}
    Charge(Charge&& moved) noexcept : budget_(moved.budget_), held_(moved.held_) { moved.held_ = 0; }
    Charge& operator=(Charge&& moved) noexcept {
      if (this != &moved) {
        release();
        budget_ = moved.budget_;
        held_ = moved.held_;
        moved.held_ = 0;
      }
      return *this;
    }
    ~Charge() { release(); }
    // Takes `bytes` more; false, taking nothing, when the budget has no room.
    bool grow(std::size_t bytes) {
      if (!budget_ || !budget_->take(bytes)) return budget_ == nullptr;
      held_ += bytes;
      return true;
    }
    std::size_t held() const { return held_; }

   private:
    void release() {
      if (budget_ && held_) budget_->give(held_);
      held_ = 0;
    }
    MemoryBudget* budget_;
    std::size_t held_ = 0;
  };

  Charge charge() { return Charge(this); }
  // Whether `bytes` could ever be held at once, the budget empty.
  bool could_hold(std::size_t bytes) const { return bytes <= limit_; }
  std::size_t limit() const { return limit_; }
  std::size_t used() const { return used_.load(); }

 private:
  bool take(std::size_t bytes) {
    std::size_t used = used_.load();
    do {
      if (bytes > limit_ - used) return false;
    } while (!used_.compare_exchange_weak(used, used + bytes));
    return true;
  }
  void give(std::size_t bytes) { used_.fetch_sub(bytes); }

  const std::size_t limit_;
  std::atomic<std::size_t> used_{0};
};

}  // namespace karva
