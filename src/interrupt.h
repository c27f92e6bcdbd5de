// Polling for interrupts from the core's long loops.
//
// The core runs whole calls without returning to the interpreter, so a
// signal (Ctrl-C, an alarm) would wait until the call ends. The binding
// installs a check once at import (does a signal handler want the call
// abandoned?); long loops count their work down in an InterruptPoll and run
// the check every kInterruptInterval units. When it answers yes, the poll
// throws Interrupted and the call unwinds, releasing what it built; the
// reason (the Python exception) is already set. Without an installed check
// (the core's own tests, the fuzzers) polling does nothing.
#pragma once

#include <atomic>
#include <cstdint>

namespace corvalind {

// Returns true when the current call must be abandoned. Runs on the
// calling thread, in the middle of a core loop.
using InterruptCheck = bool (*)();

// Installs the process-wide check (nullptr: none). Set once, before any
// call that polls.
void set_interrupt_check(InterruptCheck check) noexcept;

// For a thread that must never run the installed check (one that does not
// hold the interpreter lock, which the binding's check needs): while a
// scope lives, polls on this thread read `stop` instead and throw
// Interrupted once it is true. Scopes do not nest.
class StopFlagScope {
 public:
  explicit StopFlagScope(const std::atomic<bool>& stop) noexcept;
  ~StopFlagScope();
  StopFlagScope(const StopFlagScope&) = delete;
  StopFlagScope& operator=(const StopFlagScope&) = delete;
};

// Thrown by InterruptPoll when the check asks for the call to end.
struct Interrupted {};

// Units of work between two checks; a unit is about one element handled
// (a node visited, an entry tallied, an item converted or decoded).
inline constexpr int64_t kInterruptInterval = 16384;

// Runs the installed check (or reads this thread's stop flag); throws
// Interrupted when it asks, else returns kInterruptInterval.
int64_t check_interrupt();

// A countdown owned by one loop. tick() costs a subtraction and a branch
// taken once per interval; the countdown never leaves a register, as the
// check does not see it.
class InterruptPoll {
 public:
  // Throws Interrupted once the work since the last check reaches the
  // interval and the check asks for it.
  void tick(int64_t work = 1) {
    left_ -= work;
    if (left_ < 0) [[unlikely]] left_ = check_interrupt();
  }

 private:
  int64_t left_ = kInterruptInterval;
};

}  // namespace corvalind
