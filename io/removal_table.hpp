#pragma once

// Shared by the platform implementations of the io layer; included by them only.
#include <array>
#include <atomic>
#include <cstddef>

namespace demstitch {

// The files an interruption must remove, as its handler reads them: a slot's path is
// complete before its flag says so, and the handler reads only flags and paths. `Path` is
// what the platform's handler may use (on POSIX a fixed buffer: a handler may not allocate).
template <typename Path>
class RemovalTable {
 public:
  // Takes a free slot and lets `store` fill its path (false: it cannot); -1 when no slot is
  // free or the path does not fit.
  template <typename Store>
  int add(Store&& store) {
    for (size_t i = 0; i < slots_.size(); ++i) {
      Slot& slot = slots_[i];
      if (slot.active.load(std::memory_order_relaxed)) continue;
      if (!store(slot.path)) return -1;
      slot.active.store(true, std::memory_order_release);
      return static_cast<int>(i);
    }
    return -1;
  }
  void remove(int slot) {
    if (slot >= 0) slots_[static_cast<size_t>(slot)].active.store(false, std::memory_order_release);
  }
  // Calls `act` with the path of every slot taken.
  template <typename Act>
  void for_each(Act&& act) const {
    for (const Slot& slot : slots_) {
      if (slot.active.load(std::memory_order_acquire)) act(slot.path);
    }
  }

 private:
  struct Slot {
    std::atomic<bool> active{false};
    Path path{};
  };
  std::array<Slot, 16> slots_;
};

}  // namespace demstitch
