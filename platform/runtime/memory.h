// Process-wide memory settings that the speech engines rely on.
#pragma once

namespace runtime {

// Engines that grow their buffers by doubling, or free and take again large scratch blocks of
// changing sizes, leave holes in glibc's heap: glibc raises its threshold for serving a block
// from a mapping of its own each time such a mapping is freed, so later, larger blocks come from
// the heap. A fixed threshold of 128 KiB keeps large blocks mapped and hands them back whole
// when freed. Process-wide; any thread, any number of times.
void keepLargeBlocksMapped();

}  // namespace runtime
