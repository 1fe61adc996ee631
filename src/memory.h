// The memory a run needs at its peak, and the limits it must fit in: what the machine can still
// give, the memory limit of the process's cgroup less what others in it hold, and ulimit -v and
// -d. A picture that cannot fit is refused before its bitmap is made, with a word, rather than
// left to a failing allocation or to the out-of-memory killer, which ends a run without one.
//
// Limits: the figures come from /proc and /sys, a handful of small files a look. Without /proc
// (a bare chroot) only the ulimits are known, and not what the process holds; a cgroup whose
// directory is not under /sys/fs/cgroup (v2) or /sys/fs/cgroup/memory (v1) sets no limit.
#pragma once

#include <cstdint>
#include <string>

// Bytes that FreeImage takes for a 24-bit bitmap: scan lines padded to whole 4-byte words.
std::int64_t bitmap_bytes(std::int64_t width, std::int64_t height);

// A limit that a run would exceed: what the run needs there and the limit, in bytes, and the
// words that name the limit in a message. No name: the run fits under every limit.
struct memory_limit {
    std::int64_t need;
    std::int64_t limit;
    const char *name;
};

// The tightest limit that the run would exceed if, on top of what the process holds now, it
// allocated a bitmap of width x height pixels, the encoder's working memory and input more bytes
// of text, and held apart bytes in memory that is not mapped (a picture encoded into a file in
// memory), which count against physical memory and the cgroup only. Leaves errno as it was.
memory_limit check_memory(std::int64_t width, std::int64_t height, std::int64_t input = 0,
                          std::int64_t apart = 0);

// The machine's memory and swap in all, and what the kernel can still give (MemAvailable plus
// free swap), from root/proc/meminfo; -1 for what cannot be read there.
struct machine_memory {
    std::int64_t total;
    std::int64_t available;
};
machine_memory machine_limits(const std::string &root);

// The memory limits of the process's cgroup, from its own group up to the root (v2 memory.max,
// v1 memory.limit_in_bytes): the smallest, 0 when there is none, and the least room that one of
// them leaves once the group's usage, less its page cache and less own (the process's own
// pages), is taken off. root is put before every path.
struct cgroup_memory {
    std::int64_t limit;
    std::int64_t room;
};
cgroup_memory cgroup_limits(const std::string &root, std::int64_t own);
