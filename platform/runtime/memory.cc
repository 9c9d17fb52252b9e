#include "platform/runtime/memory.h"

#include <malloc.h>

#include <mutex>

namespace runtime {

void keepLargeBlocksMapped() {
  static std::once_flag once;
  std::call_once(once, [] { ::mallopt(M_MMAP_THRESHOLD, 128 * 1024); });
}

}  // namespace runtime
