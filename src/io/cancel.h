// A conversion asked to stop, by the thread that started it or by an
// interruption of the process. The work checks as it reads each piece of a
// recording and unwinds by throwing Cancelled: its temporary files are then
// removed as after any failure, and none takes its target's name.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace kinovar {

struct Cancelled : std::runtime_error {
  Cancelled() : std::runtime_error("the conversion was stopped before it was complete") {}
};

class CancelToken {
 public:
  // Never asked to stop: the five classic functions' conversions.
  CancelToken() = default;
  // Stops when `flag` is raised (may be null) or the process is interrupted.
  explicit CancelToken(std::shared_ptr<const std::atomic<bool>> flag) : flag_(std::move(flag)), active_(true) {}
  bool requested() const;
  void check() const {
    if (requested()) throw Cancelled();
  }

 private:
  std::shared_ptr<const std::atomic<bool>> flag_;
  bool active_ = false;
};

// Flags named by a number, so that one thread of the process can stop a
// conversion that another (a worker with its own copy of the module) runs.
uint32_t newCancelFlag();
// The token of a flag; a flag raised or dropped before still gives one.
CancelToken cancelToken(uint32_t id);
void raiseCancelFlag(uint32_t id);
// The name is forgotten; conversions holding the flag keep it.
void dropCancelFlag(uint32_t id);

}  // namespace kinovar
