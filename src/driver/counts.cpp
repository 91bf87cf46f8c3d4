#include "driver/counts.h"

#include <sys/mman.h>

#include <new>

namespace looptest {

SharedCounts* map_shared_counts() {
  void* memory = mmap(nullptr, sizeof(SharedCounts), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  return new (memory) SharedCounts{};
}

}  // namespace looptest
