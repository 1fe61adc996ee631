// The memory a run needs at its peak, and the limits it must fit in: the machine's physical
// memory, the memory limit of the process's cgroup, and the address-space and data limits
// (ulimit -v, ulimit -d). A picture that cannot fit is refused before its bitmap is made, with a
// word, rather than left to a failing allocation or to the out-of-memory killer, which ends a run
// without one.
#pragma once

#include <cstdint>
#include <string>

// Bytes that FreeImage takes for a 24-bit bitmap: scan lines padded to whole 4-byte words.
std::int64_t bitmap_bytes(std::int64_t width, std::int64_t height);

// What saving adds at its peak, beyond the bitmap, for a picture width pixels wide.
std::int64_t encoder_bytes(std::int64_t width);

// A limit that a run would exceed: what the run needs there and the limit, in bytes, and the
// words that name the limit in a message.
struct memory_limit {
    std::int64_t need;
    std::int64_t limit;
    const char *name;
};

// The tightest limit that a bitmap of width x height pixels and its encoding, on top of what the
// process holds now, would exceed; limit 0 when the run fits under all of them. Leaves errno as
// it was.
memory_limit check_memory(std::int64_t width, std::int64_t height);

// The smallest memory limit on the cgroup path of the process, from its own group up to the root
// of the hierarchy (cgroup v2 memory.max, v1 memory.limit_in_bytes), or 0 when there is none or
// it cannot be read (no /proc or /sys, as in a plain chroot). root is put before every path read.
std::int64_t cgroup_limit(const std::string &root);
