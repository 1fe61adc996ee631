#include "memory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace
{

// What the process holds now, in bytes: resident pages (and of them the anonymous ones, which
// are charged to its cgroup as its own), address space, and data (with stack).
struct footprint {
    std::int64_t resident;
    std::int64_t anon;
    std::int64_t size;
    std::int64_t data;
};

footprint current_footprint()
{
    const std::int64_t page = sysconf(_SC_PAGE_SIZE);
    long long size = 0, resident = 0, shared = 0, text = 0, lib = 0, data = 0;
    std::FILE *f = std::fopen("/proc/self/statm", "re");
    const bool read = f && std::fscanf(f, "%lld %lld %lld %lld %lld %lld", &size, &resident,
                                       &shared, &text, &lib, &data) == 6;
    if (f)
        std::fclose(f);
    if (read)
        return {resident * page, (resident - shared) * page, size * page, data * page};
    // Without /proc, the peak resident size so far is the best guess for all of them.
    struct rusage ru;
    const std::int64_t peak = getrusage(RUSAGE_SELF, &ru) == 0 ? ru.ru_maxrss * 1024LL : 0;
    return {peak, peak, peak, peak};
}

std::int64_t physical_memory()
{
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && size > 0 ? std::int64_t{pages} * size : 0;
}

// A resource limit in bytes, or 0 when there is none.
std::int64_t rlimit_of(int resource)
{
    struct rlimit rl;
    if (getrlimit(resource, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY)
        return 0;
    return rl.rlim_cur > static_cast<rlim_t>(INT64_MAX) ? 0
                                                        : static_cast<std::int64_t>(rl.rlim_cur);
}

// The lines of a file, whatever their length, without their newlines; none if it cannot be read.
std::vector<std::string> lines_of(const std::string &path)
{
    std::vector<std::string> lines;
    std::FILE *f = std::fopen(path.c_str(), "re");
    if (!f)
        return lines;
    char *line = nullptr;
    size_t size = 0;
    for (ssize_t got; (got = getline(&line, &size, f)) > 0;)
        lines.emplace_back(line, static_cast<size_t>(got) - (line[got - 1] == '\n'));
    std::free(line);
    std::fclose(f);
    return lines;
}

std::vector<std::string> words_of(const std::string &line, char sep)
{
    std::vector<std::string> words;
    for (size_t at = 0;;) {
        const size_t end = line.find(sep, at);
        words.push_back(line.substr(at, end - at));
        if (end == std::string::npos)
            return words;
        at = end + 1;
    }
}

bool has_word(const std::string &list, const std::string &word)
{
    const std::vector<std::string> words = words_of(list, ',');
    return std::find(words.begin(), words.end(), word) != words.end();
}

// A plain decimal number, or -1 for anything else: empty, "max", a sign, garbage, too large.
std::int64_t number_of(const std::string &s)
{
    if (s.empty())
        return -1;
    std::int64_t v = 0;
    for (const char c : s) {
        if (c < '0' || c > '9' || v > (INT64_MAX - (c - '0')) / 10)
            return -1;
        v = 10 * v + (c - '0');
    }
    return v;
}

// The number that a one-line file such as memory.max holds, or -1.
std::int64_t number_in(const std::string &path)
{
    const std::vector<std::string> lines = lines_of(path);
    return lines.size() == 1 ? number_of(lines[0]) : -1;
}

// The sum of the named fields among lines of "name value", such as memory.stat's, or of "name
// value kB", such as /proc/meminfo's, when unit is 1024; in bytes. -1 when one of them is
// missing or is not a number.
std::int64_t fields_in(const std::vector<std::string> &lines, std::vector<std::string> names,
                       std::int64_t unit = 1)
{
    std::int64_t sum = 0;
    for (const std::string &line : lines) {
        std::vector<std::string> w = words_of(line, ' ');
        w.erase(std::remove(w.begin(), w.end(), ""), w.end());
        const auto it = w.empty() ? names.end() : std::find(names.begin(), names.end(), w[0]);
        if (it == names.end() || w.size() != (unit == 1 ? 2u : 3u) || (unit != 1 && w[2] != "kB"))
            continue;
        // Sums stay far below the range of the numbers, so that adding a few cannot overflow.
        const std::int64_t v = number_of(w[1]);
        if (v < 0 || v > (INT64_MAX / 8 - sum) / unit)
            return -1;
        sum += v * unit;
        names.erase(it);
    }
    return names.empty() ? sum : -1;
}

// Mount points and roots in /proc/self/mountinfo write a space, a tab, a newline and a backslash
// as octal escapes.
std::string unescape(const std::string &s)
{
    static const struct {
        const char *code;
        char ch;
    } escapes[] = {{"\\040", ' '}, {"\\011", '\t'}, {"\\012", '\n'}, {"\\134", '\\'}};
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        char ch = s[i];
        for (const auto &e : escapes)
            if (s.compare(i, 4, e.code) == 0) {
                ch = e.ch;
                i += 3;
                break;
            }
        out += ch;
    }
    return out;
}

// One cgroup hierarchy with a memory controller: where it is mounted, the group that the mount
// shows as its root, and the group the process is in.
struct hierarchy {
    bool v2;
    std::string mount;
    std::string root;
    std::string group;
};

// The directories of the process's group and of each group above it, up to the root of what is
// mounted; none when the group is not a plain absolute path inside the mounted subtree.
std::vector<std::string> groups_up(const std::string &prefix, const hierarchy &h)
{
    if (h.mount.empty() || h.group.empty() || h.group[0] != '/' || h.root.empty())
        return {};
    // The group's path is from the hierarchy's root; the mount may show a subtree of it. Match
    // whole components: /docker/c10 is no group under /docker/c1.
    std::string below = h.group;
    if (h.root != "/") {
        const std::string &r = h.root;
        const bool under = below.compare(0, r.size(), r) == 0 &&
                           (below.size() == r.size() || below[r.size()] == '/');
        if (!under)
            return {};
        below.erase(0, r.size());
    }
    std::vector<std::string> parts;
    for (const std::string &p : words_of(below, '/'))
        if (p == "." || p == "..")
            return {};
        else if (!p.empty())
            parts.push_back(p);
    std::vector<std::string> dirs;
    std::string dir = prefix + h.mount;
    dirs.push_back(dir);
    for (const std::string &p : parts)
        dirs.push_back(dir += "/" + p);
    std::reverse(dirs.begin(), dirs.end());
    return dirs;
}

// What the group in dir holds that it cannot give back, beyond own: its usage less its page
// cache; 0 when that cannot be read.
std::int64_t held_in(const std::string &dir, bool v2, std::int64_t own)
{
    const std::int64_t usage = number_in(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes"));
    // Page cache on the file lists can be dropped or written back; in v1 the totals count the
    // groups below too, as the usage does.
    const std::vector<std::string> stat = lines_of(dir + "/memory.stat");
    const std::int64_t cache = v2 ? fields_in(stat, {"active_file", "inactive_file"})
                                  : fields_in(stat, {"total_active_file", "total_inactive_file"});
    if (usage < 0 || cache < 0)
        return 0;
    return std::max<std::int64_t>(0, usage - cache - own);
}

} // namespace

std::int64_t bitmap_bytes(std::int64_t width, std::int64_t height)
{
    return (width * 3 + 3) / 4 * 4 * height;
}

std::int64_t encoder_bytes(std::int64_t width)
{
    // libpng keeps four buffers of one scan line each (the row, the previous row and two for
    // choosing a filter); zlib's state, the stream buffer and the code paged in stay below 1 MiB.
    // Measured peaks: 0.4 MiB more than before saving at 320 pixels wide, 11.8 MiB at 1,000,000.
    return 4 * (3 * width + 1) + (1 << 20);
}

machine_memory machine_limits(const std::string &root)
{
    const std::vector<std::string> info = lines_of(root + "/proc/meminfo");
    const std::int64_t ram = fields_in(info, {"MemTotal:"}, 1024);
    const std::int64_t free = fields_in(info, {"MemAvailable:"}, 1024);
    // No swap shows as zeros; a kernel built without swap leaves the lines out.
    const std::int64_t swap = std::max<std::int64_t>(0, fields_in(info, {"SwapTotal:"}, 1024));
    const std::int64_t swap_free = std::max<std::int64_t>(0, fields_in(info, {"SwapFree:"}, 1024));
    return {ram < 0 ? -1 : ram + swap, free < 0 ? -1 : free + swap_free};
}

cgroup_memory cgroup_limits(const std::string &root, std::int64_t own)
{
    hierarchy v2 = {true, "", "", ""}, v1 = {false, "", "", ""};
    // A mountinfo line: id, parent, device, root, mount point, options, optional fields, "-",
    // file system type, source, super options.
    for (const std::string &line : lines_of(root + "/proc/self/mountinfo")) {
        const std::vector<std::string> f = words_of(line, ' ');
        size_t dash = 6;
        while (dash < f.size() && f[dash] != "-")
            dash++;
        if (dash + 3 >= f.size())
            continue;
        const std::string &type = f[dash + 1];
        if (type == "cgroup2" && v2.mount.empty())
            v2 = {true, unescape(f[4]), unescape(f[3]), ""};
        else if (type == "cgroup" && v1.mount.empty() && has_word(f[dash + 3], "memory"))
            v1 = {false, unescape(f[4]), unescape(f[3]), ""};
    }
    // A /proc/self/cgroup line: hierarchy id, controllers, group (which may hold colons); v2's
    // is "0::group".
    for (const std::string &line : lines_of(root + "/proc/self/cgroup")) {
        const size_t a = line.find(':');
        const size_t b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos)
            continue;
        const std::string controllers = line.substr(a + 1, b - a - 1);
        if (line.compare(0, a, "0") == 0 && controllers.empty())
            v2.group = line.substr(b + 1);
        else if (has_word(controllers, "memory"))
            v1.group = line.substr(b + 1);
    }
    cgroup_memory tightest = {0, 0};
    for (const hierarchy &h : {v2, v1})
        for (const std::string &dir : groups_up(root, h)) {
            const std::int64_t limit =
                number_in(dir + (h.v2 ? "/memory.max" : "/memory.limit_in_bytes"));
            if (limit <= 0)
                continue;
            const std::int64_t room = std::max<std::int64_t>(0, limit - held_in(dir, h.v2, own));
            const bool first = tightest.limit == 0;
            tightest.limit = first ? limit : std::min(tightest.limit, limit);
            tightest.room = first ? room : std::min(tightest.room, room);
        }
    return tightest;
}

memory_limit check_memory(std::int64_t width, std::int64_t height, std::int64_t input,
                          std::int64_t apart)
{
    const int saved = errno;
    const footprint now = current_footprint();
    // What the run will still allocate, a term for each block.
    const std::int64_t bitmap = bitmap_bytes(width, height);
    const std::int64_t added = bitmap + encoder_bytes(width) + input;
    // Resident memory also pays for the page tables of the large blocks, 8 bytes a 4 KiB page.
    const std::int64_t resident = now.resident + added + (bitmap + input) / 512 + apart;

    std::vector<memory_limit> limits;
    // The machine: what it has in all, and short of that, what the kernel can still give on top
    // of what the process holds already.
    const machine_memory m = machine_limits("");
    const std::int64_t total = m.total > 0 ? m.total : physical_memory();
    if (total > 0 && resident > total)
        limits.push_back({resident, total, "the machine has"});
    else if (m.available >= 0)
        limits.push_back({resident, m.available + now.resident, "the machine can still give"});
    // The cgroup: its limit, and short of that, what other processes in it leave.
    const cgroup_memory g = cgroup_limits("", now.anon);
    if (g.limit > 0 && resident > g.limit)
        limits.push_back({resident, g.limit, "the cgroup's memory limit is"});
    else if (g.limit > 0)
        limits.push_back({resident, g.room, "the cgroup's memory limit leaves"});
    if (const std::int64_t as = rlimit_of(RLIMIT_AS))
        limits.push_back({now.size + added, as, "the address-space limit (ulimit -v) is"});
    if (const std::int64_t data = rlimit_of(RLIMIT_DATA))
        limits.push_back({now.data + added, data, "the data-size limit (ulimit -d) is"});

    memory_limit verdict = {0, 0, nullptr};
    for (const memory_limit &l : limits)
        if (l.need > l.limit && (!verdict.name || l.limit < verdict.limit))
            verdict = l;
    errno = saved;
    return verdict;
}
