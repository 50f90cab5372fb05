#include "io/cancel.h"

#include <map>
#include <mutex>

#include "io/temporary.h"

namespace kinovar {

namespace {

struct Flags {
  std::mutex mutex;
  uint32_t next = 1;
  std::map<uint32_t, std::shared_ptr<std::atomic<bool>>> named;
};

// Never destroyed: a worker may still ask for one while the process exits.
Flags& flags() {
  static Flags* instance = new Flags();
  return *instance;
}

}  // namespace

bool CancelToken::requested() const {
  return active_ && ((flag_ && flag_->load(std::memory_order_relaxed)) || interrupted());
}

uint32_t newCancelFlag() {
  Flags& f = flags();
  std::lock_guard lock(f.mutex);
  const uint32_t id = f.next++;
  f.named.emplace(id, std::make_shared<std::atomic<bool>>(false));
  return id;
}

CancelToken cancelToken(uint32_t id) {
  Flags& f = flags();
  std::lock_guard lock(f.mutex);
  const auto found = f.named.find(id);
  // A flag already dropped was dropped because its task ended or was abandoned: stop.
  if (found == f.named.end()) return CancelToken(std::make_shared<std::atomic<bool>>(true));
  return CancelToken(found->second);
}

void raiseCancelFlag(uint32_t id) {
  Flags& f = flags();
  std::lock_guard lock(f.mutex);
  if (const auto found = f.named.find(id); found != f.named.end()) found->second->store(true);
}

void dropCancelFlag(uint32_t id) {
  Flags& f = flags();
  std::lock_guard lock(f.mutex);
  f.named.erase(id);
}

}  // namespace kinovar
