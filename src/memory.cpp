#include "memory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fstream>
#include <vector>

namespace
{

// What the process holds now, in bytes: resident pages (anon: those charged to its cgroup as
// its own), address space, and data with stack. Zeros without /proc.
struct footprint {
    std::int64_t resident, anon, size, data;
};

footprint current_footprint()
{
    std::ifstream statm("/proc/self/statm");
    long long size = 0, resident = 0, shared = 0, text = 0, libraries = 0, data = 0;
    if (!(statm >> size >> resident >> shared >> text >> libraries >> data))
        return {0, 0, 0, 0};
    const std::int64_t page = sysconf(_SC_PAGE_SIZE);
    return {resident * page, (resident - shared) * page, size * page, data * page};
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
    std::ifstream in(path);
    long long v = -1;
    return in >> v ? v : -1;
}

// The values of the named fields in a file of "name value" lines, such as memory.stat and
// /proc/meminfo (whose " kB" is passed over): -1 for each that is missing.
std::vector<std::int64_t> fields_in(const std::string &path, const std::vector<std::string> &names)
{
    std::vector<std::int64_t> values(names.size(), -1);
    std::ifstream in(path);
    std::string name;
    for (long long v; in >> name >> v; in.ignore(INT_MAX, '\n'))
        for (size_t k = 0; k < names.size(); k++)
            if (names[k] == name && v >= 0)
                values[k] = v;
    return values;
}

// What the group in dir holds that it cannot give back, beyond own: its usage less its page
// cache; 0 when that cannot be read. In v1 the totals count the groups below, as the usage does.
std::int64_t held_in(const std::string &dir, bool v2, std::int64_t own)
{
    const std::int64_t usage = number_in(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes"));
    const std::string total = v2 ? "" : "total_";
    const std::vector<std::int64_t> cache =
        fields_in(dir + "/memory.stat", {total + "active_file", total + "inactive_file"});
    if (usage < 0 || cache[0] < 0 || cache[1] < 0)
        return 0;
    return std::max<std::int64_t>(0, usage - cache[0] - cache[1] - own);
}

// Takes into *tightest the limits of the group at path under mount and of every group above it,
// and the room that each leaves. A level whose directory is not there (a container's mount shows
// its own group as the root) has no limit to read.
void take_limits(const std::string &mount, std::string group, bool v2, std::int64_t own,
                 cgroup_memory *tightest)
{
    for (;;) {
        const std::string dir = mount + group;
        const std::int64_t limit = number_in(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes"));
        if (limit > 0) {
            tightest->limit = std::min(tightest->limit, limit);
            tightest->room =
                std::min(tightest->room, std::max<std::int64_t>(0, limit - held_in(dir, v2, own)));
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
    // "0::/group" in v2, "4:memory:/group" in v1, as systemd mounts the controller alone.
    cgroup_memory tightest = {INT64_MAX, INT64_MAX};
    std::ifstream in(root + "/proc/self/cgroup");
    for (std::string line; std::getline(in, line);) {
        const size_t memory = line.find(":memory:");
        if (line.rfind("0::", 0) == 0)
            take_limits(root + "/sys/fs/cgroup", line.substr(3), true, own, &tightest);
        else if (memory != std::string::npos)
            take_limits(root + "/sys/fs/cgroup/memory", line.substr(memory + 8), false, own,
                        &tightest);
    }
    return tightest.limit == INT64_MAX ? cgroup_memory{0, 0} : tightest;
}

memory_limit check_memory(std::int64_t width, std::int64_t height, std::int64_t input,
                          std::int64_t apart)
{
    const int saved = errno;
    const footprint now = current_footprint();
    // What the run will still allocate: the bitmap, the text, and at the save's peak libpng's four
    // scan lines (the row, the one before and two to choose a filter) and zlib's state, under
    // 1 MiB (measured: 0.4 MiB in all at 320 pixels wide, 11.8 MiB at 1,000,000).
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
