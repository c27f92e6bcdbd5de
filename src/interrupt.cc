#include "interrupt.h"

#include <atomic>

namespace corvalind {
namespace {

std::atomic<InterruptCheck> installed_check{nullptr};

}  // namespace

void set_interrupt_check(InterruptCheck check) noexcept { installed_check.store(check, std::memory_order_relaxed); }

int64_t check_interrupt() {
  const InterruptCheck check = installed_check.load(std::memory_order_relaxed);
  if (check != nullptr && check()) throw Interrupted{};
  return kInterruptInterval;
}

}  // namespace corvalind
