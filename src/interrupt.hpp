// Stopping a running call from outside. The module surface owns one Flag per call and raises
// it when the interpreter reports a pending signal; the long loops of the analyses look at
// the flag between record batches and items, and end their work with an error so that no
// table is written. The flag reaches those loops through the thread that runs them: a Scope
// binds it to a thread, and the worker pool binds its caller's flag to every worker.
#pragma once

#include <atomic>
#include <cstdint>

#include "error.hpp"

namespace voskel::interrupt {

class Flag {
public:
  void raise() noexcept { raised_.store(true, std::memory_order_relaxed); }
  bool raised() const noexcept { return raised_.load(std::memory_order_relaxed); }

private:
  std::atomic<bool> raised_{false};
};

// Binds `flag` (may be null) to the current thread until the scope ends; the previous binding
// comes back then.
class Scope {
public:
  explicit Scope(const Flag *flag) noexcept;
  ~Scope();
  Scope(const Scope &) = delete;
  Scope &operator=(const Scope &) = delete;

private:
  const Flag *previous_;
};

// The flag bound to the current thread, null when none is.
const Flag *current() noexcept;

// Whether the current thread's call has been asked to stop.
bool requested() noexcept;

// Continue, or the error that ends the work ("interrupted"). The surface that raised the flag
// reports the interrupt itself, so the text never reaches a user.
Status checkpoint();

// Records read between two looks at the flag in a record loop: a stop costs milliseconds.
inline constexpr uint32_t kRecordBatch = 4096;

// The checkpoint of a record loop, taken once every `every` ticks.
class Pacer {
public:
  explicit Pacer(uint32_t every = kRecordBatch) : every_(every), left_(every) {}
  Status tick() {
    if (--left_ != 0)
      return {};
    left_ = every_;
    return checkpoint();
  }

private:
  uint32_t every_;
  uint32_t left_;
};

} // namespace voskel::interrupt
