#include "memory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace
{

// What the process holds now, in bytes: resident pages (and of them the anonymous ones, which
// are charged to its cgroup as its own), address space, and data (with stack). Zeros without
// /proc.
struct footprint {
    std::int64_t resident, anon, size, data;
};

footprint current_footprint()
{
    long long pages[6] = {}; // size, resident, shared, text, libraries, data and stack
    std::FILE *f = std::fopen("/proc/self/statm", "re");
    if (f && std::fscanf(f, "%lld %lld %lld %lld %lld %lld", &pages[0], &pages[1], &pages[2],
                         &pages[3], &pages[4], &pages[5]) != 6)
        std::fill(pages, pages + 6, 0);
    if (f)
        std::fclose(f);
    const std::int64_t page = sysconf(_SC_PAGE_SIZE);
    return {pages[1] * page, (pages[1] - pages[2]) * page, pages[0] * page, pages[5] * page};
}

// A resource limit in bytes, or 0 when there is none.
std::int64_t rlimit_of(int resource)
{
    struct rlimit rl;
    if (getrlimit(resource, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY ||
        rl.rlim_cur > static_cast<rlim_t>(INT64_MAX))
        return 0;
    return static_cast<std::int64_t>(rl.rlim_cur);
}

// The number that a one-line file such as memory.max holds, or -1 ("max", or nothing to read).
std::int64_t number_in(const std::string &path)
{
    long long v = -1;
    std::FILE *f = std::fopen(path.c_str(), "re");
    if (f && std::fscanf(f, "%lld", &v) != 1)
        v = -1;
    if (f)
        std::fclose(f);
    return v;
}

// The values of the named fields in a file of "name value" lines, such as memory.stat and
// /proc/meminfo (whose " kB" is passed over): -1 for each that is missing.
std::vector<std::int64_t> fields_in(const std::string &path, std::vector<std::string> names)
{
    std::vector<std::int64_t> values(names.size(), -1);
    std::FILE *f = std::fopen(path.c_str(), "re");
    if (!f)
        return values;
    char name[64];
    long long v = 0;
    while (std::fscanf(f, "%63s %lld%*[^\n]", name, &v) == 2)
        for (size_t k = 0; k < names.size(); k++)
            if (names[k] == name && v >= 0)
                values[k] = v;
    std::fclose(f);
    return values;
}

// The hierarchies with the memory controller, where they are mounted, and their files. In v1
// the totals of memory.stat count the groups below, as the usage does.
struct hierarchy {
    const char *mount, *limit, *usage, *cache;
};
const hierarchy v2 = {"/sys/fs/cgroup", "/memory.max", "/memory.current", ""};
const hierarchy v1 = {"/sys/fs/cgroup/memory", "/memory.limit_in_bytes", "/memory.usage_in_bytes",
                      "total_"};

// What the group in dir holds that it cannot give back, beyond own: its usage less its page
// cache; 0 when that cannot be read.
std::int64_t held_in(const std::string &dir, const hierarchy &h, std::int64_t own)
{
    const std::int64_t usage = number_in(dir + h.usage);
    const std::string prefix = h.cache;
    const std::vector<std::int64_t> cache =
        fields_in(dir + "/memory.stat", {prefix + "active_file", prefix + "inactive_file"});
    if (usage < 0 || cache[0] < 0 || cache[1] < 0)
        return 0;
    return std::max<std::int64_t>(0, usage - cache[0] - cache[1] - own);
}

// Takes into *tightest the limits of the group at path in h and of every group above it. A level
// whose directory is not there (a container's mount shows its own group as the root) has no
// limit to read.
void take_limits(const std::string &root, const hierarchy &h, std::string group, std::int64_t own,
                 cgroup_memory *tightest)
{
    for (;;) {
        const std::string dir = root + h.mount + group;
        const std::int64_t limit = number_in(dir + h.limit);
        if (limit > 0) {
            const std::int64_t room = std::max<std::int64_t>(0, limit - held_in(dir, h, own));
            const bool first = tightest->limit == 0;
            tightest->limit = first ? limit : std::min(tightest->limit, limit);
            tightest->room = first ? room : std::min(tightest->room, room);
        }
        if (group.empty())
            return;
        const size_t slash = group.rfind('/');
        group.erase(slash == std::string::npos ? 0 : slash); // one level up; "" is the root
    }
}

} // namespace

std::int64_t bitmap_bytes(std::int64_t width, std::int64_t height)
{
    return (width * 3 + 3) / 4 * 4 * height;
}

machine_memory machine_limits(const std::string &root)
{
    const std::vector<std::int64_t> kib = fields_in(
        root + "/proc/meminfo", {"MemTotal:", "MemAvailable:", "SwapTotal:", "SwapFree:"});
    // A figure past 2^53 bytes is no machine's; no swap shows as zeros, or as no lines at all.
    const auto bytes = [&](size_t k) { return kib[k] < 0 || kib[k] >> 43 ? -1 : kib[k] * 1024; };
    const std::int64_t swap = std::max<std::int64_t>(0, bytes(2));
    const std::int64_t swap_free = std::max<std::int64_t>(0, bytes(3));
    return {bytes(0) < 0 ? -1 : bytes(0) + swap, bytes(1) < 0 ? -1 : bytes(1) + swap_free};
}

cgroup_memory cgroup_limits(const std::string &root, std::int64_t own)
{
    cgroup_memory tightest = {0, 0};
    std::FILE *f = std::fopen((root + "/proc/self/cgroup").c_str(), "re");
    if (!f)
        return tightest;
    // "0::/group" in v2, "4:memory:/group" in v1, as systemd mounts the controller alone.
    char *line = nullptr;
    size_t size = 0;
    while (getline(&line, &size, f) > 0) {
        line[std::strcspn(line, "\n")] = '\0';
        const char *memory = std::strstr(line, ":memory:");
        if (std::strncmp(line, "0::", 3) == 0)
            take_limits(root, v2, line + 3, own, &tightest);
        else if (memory)
            take_limits(root, v1, memory + 8, own, &tightest);
    }
    std::free(line);
    std::fclose(f);
    return tightest;
}

memory_limit check_memory(std::int64_t width, std::int64_t height, std::int64_t input,
                          std::int64_t apart)
{
    const int saved = errno;
    const footprint now = current_footprint();
    // What the run will still allocate: the bitmap, the text, and what saving adds at its peak.
    // libpng keeps four scan lines (the row, the previous one and two for choosing a filter);
    // zlib's state and the stream buffers stay below 1 MiB (measured: 0.4 MiB at 320 pixels
    // wide, 11.8 MiB at 1,000,000).
    const std::int64_t bitmap = bitmap_bytes(width, height);
    const std::int64_t added = bitmap + 4 * (3 * width + 1) + (1 << 20) + input;
    // Resident memory also pays for the page tables of the large blocks, 8 bytes a 4 KiB page.
    const std::int64_t resident = now.resident + added + (bitmap + input) / 512 + apart;

    // The tightest limit that the run would exceed, if any.
    memory_limit verdict = {0, 0, nullptr};
    const auto over = [&](std::int64_t need, std::int64_t limit, const char *name) {
        if (need > limit && (!verdict.name || limit < verdict.limit))
            verdict = {need, limit, name};
    };
    // The machine: what it has in all, and short of that, what the kernel can still give on top
    // of what the process holds already.
    const machine_memory m = machine_limits("");
    if (m.total > 0 && resident > m.total)
        over(resident, m.total, "the machine has");
    else if (m.available >= 0)
        over(resident, m.available + now.resident, "the machine can still give");
    // The cgroup: its limit, and short of that, what other processes in it leave.
    const cgroup_memory g = cgroup_limits("", now.anon);
    if (g.limit > 0 && resident > g.limit)
        over(resident, g.limit, "the cgroup's memory limit is");
    else if (g.limit > 0)
        over(resident, g.room, "the cgroup's memory limit leaves");
    if (const std::int64_t as = rlimit_of(RLIMIT_AS))
        over(now.size + added, as, "the address-space limit (ulimit -v) is");
    if (const std::int64_t data = rlimit_of(RLIMIT_DATA))
        over(now.data + added, data, "the data-size limit (ulimit -d) is");
    errno = saved;
    return verdict;
}
