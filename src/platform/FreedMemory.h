// Handing memory the process has freed back to the system. The allocator
// keeps freed blocks for reuse, and after a burst of work (say, many TLS
// handshakes at once, each with its own transient buffers spread among the
// live objects of the others) those pages stay resident for as long as the
// process runs. A long-running process calls this once it has fallen quiet.
#pragma once

// Releases the free pages of every heap of the process; the blocks stay
// available to the allocator. Costs a walk of the heaps: not for a hot path.
void ReturnFreedMemory();
