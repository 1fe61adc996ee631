// The memory a run needs at its peak, and the limits it must fit in: what the machine can still
// give, the memory limit of the process's cgroup less what others in it hold, and the
// address-space and data limits (ulimit -v, ulimit -d). A picture that cannot fit is refused
// before its bitmap is made, with a word, rather than left to a failing allocation or to the
// out-of-memory killer, which ends a run without one.
#pragma once

#include <cstdint>
#include <string>

// Bytes that FreeImage takes for a 24-bit bitmap: scan lines padded to whole 4-byte words.
std::int64_t bitmap_bytes(std::int64_t width, std::int64_t height);

// What saving adds at its peak, beyond the bitmap, for a picture width pixels wide.
std::int64_t encoder_bytes(std::int64_t width);

// A limit that a run would exceed: what the run needs there and the limit, in bytes, and the
// words that name the limit in a message. No name: the run fits under every limit.
struct memory_limit {
    std::int64_t need;
    std::int64_t limit;
    const char *name;
};

// The tightest limit that the run would exceed if, on top of what the process holds now, it
// allocated a bitmap of width x height pixels, the encoder's working memory and input more bytes
// of text, and held apart bytes in memory that is not mapped (a file in memory, such as a picture
// encoded there), which count against physical memory and the cgroup only. Leaves errno as it
// was.
memory_limit check_memory(std::int64_t width, std::int64_t height, std::int64_t input = 0,
                          std::int64_t apart = 0);

// The machine's memory and swap in all, and what the kernel can still give (MemAvailable plus
// free swap), from root/proc/meminfo; -1 for what cannot be read there.
struct machine_memory {
    std::int64_t total;
    std::int64_t available;
};
machine_memory machine_limits(const std::string &root);

// The memory limits on the cgroup path of the process, from its own group up to the root of
// each hierarchy (cgroup v2 memory.max, v1 memory.limit_in_bytes): the smallest of them, 0 when
// there is none that can be read (no /proc or /sys, as in a plain chroot, or a group outside the
// mounted tree), and the least room that one of them leaves the process once the group's usage,
// less its reclaimable page cache and less own (the process's own anonymous pages), is taken
// off. root is put before every path read.
struct cgroup_memory {
    std::int64_t limit;
    std::int64_t room;
};
cgroup_memory cgroup_limits(const std::string &root, std::int64_t own);
