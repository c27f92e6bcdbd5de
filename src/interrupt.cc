#include "interrupt.h"

#include <atomic>

namespace corvalind {
namespace {

std::atomic<InterruptCheck> installed_check{nullptr};
thread_local const std::atomic<bool>* thread_stop_flag = nullptr;

}  // namespace

void set_interrupt_check(InterruptCheck check) noexcept { installed_check.store(check, std::memory_order_relaxed); }

StopFlagScope::StopFlagScope(const std::atomic<bool>& stop) noexcept { thread_stop_flag = &stop; }
StopFlagScope::~StopFlagScope() { thread_stop_flag = nullptr; }

int64_t check_interrupt() {
  if (const std::atomic<bool>* stop = thread_stop_flag) {
    if (stop->load(std::memory_order_relaxed)) throw Interrupted{};
    return kInterruptInterval;
  }
  const InterruptCheck check = installed_check.load(std::memory_order_relaxed);
  if (check != nullptr && check()) throw Interrupted{};
  return kInterruptInterval;
}

}  // namespace corvalind
