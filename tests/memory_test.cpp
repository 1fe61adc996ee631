// What a picture needs in memory, and finding the cgroup's memory limit, here on fake /proc and
// /sys trees: the real ones differ from machine to machine.
#include "memory.h"
#include "support.h"

#include <FreeImage.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace
{

TEST(BitmapBytes, AsFreeImageLaysThemOut)
{
    for (int width = 1; width <= 9; width++) {
        FIBITMAP *bm = FreeImage_Allocate(width, 7, 24, 0xFF0000, 0x00FF00, 0x0000FF);
        EXPECT_EQ(bitmap_bytes(width, 7), std::int64_t{FreeImage_GetPitch(bm)} * 7) << width;
        FreeImage_Unload(bm);
    }
    EXPECT_EQ(bitmap_bytes(1000000, 999996), 2999988000000);
}

// Writes path (under root) with text, making its directories.
void put(const std::string &root, const std::string &path, const std::string &text)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        mkdir((root + path.substr(0, slash)).c_str(), 0755);
    write_file(root + path, text);
}

// A fake /proc and /sys: the files and what they hold, under a fresh directory.
using tree = std::vector<std::pair<std::string, std::string>>;

cgroup_memory limits_in(const tree &files, std::int64_t own = 0)
{
    const std::string root = temp_dir();
    for (const auto &f : files)
        put(root, f.first, f.second);
    const cgroup_memory m = cgroup_limits(root, own);
    EXPECT_EQ(std::system(("rm -rf '" + root + "'").c_str()), 0);
    return m;
}

// The smallest limit from the process's group up to the root of its hierarchy, where the groups
// are found under the standard mount points; whatever /proc and /sys hold, no crash.
TEST(CgroupLimit, FromTheGroupUpToTheRoot)
{
    const std::string long_name(100000, 'g');
    const struct {
        const char *what;
        std::string cgroup;
        tree files;
        std::int64_t limit;
    } cases[] = {
        {"v2, set on a parent",
         "0::/a/b\n",
         {{"/sys/fs/cgroup/a/b/memory.max", "max\n"}, {"/sys/fs/cgroup/a/memory.max", "1000\n"}},
         1000},
        {"v2, tighter below",
         "0::/a/b\n",
         {{"/sys/fs/cgroup/a/b/memory.max", "700\n"}, {"/sys/fs/cgroup/a/memory.max", "1000\n"}},
         700},
        {"v2, no limit anywhere", "0::/a\n", {{"/sys/fs/cgroup/a/memory.max", "max\n"}}, 0},
        {"v2, the group is the root", "0::/\n", {}, 0},
        {"v1, beside other controllers",
         "5:cpu:/elsewhere\n4:memory:/x/y\n",
         {{"/sys/fs/cgroup/memory/x/y/memory.limit_in_bytes", "5000\n"},
          {"/sys/fs/cgroup/memory/x/memory.limit_in_bytes", "3000\n"},
          {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
          {"/sys/fs/cgroup/cpu/elsewhere/memory.limit_in_bytes", "10\n"}},
         3000},
        {"v1 and v2 together",
         "4:memory:/x\n0::/x\n",
         {{"/sys/fs/cgroup/memory/x/memory.limit_in_bytes", "5000\n"},
          {"/sys/fs/cgroup/x/memory.max", "6000\n"}},
         5000},
        {"a container's view: its own group is the root of the mount",
         "0::/docker/c1\n",
         {{"/sys/fs/cgroup/memory.max", "4096\n"}},
         4096},
        {"a group below a container's root",
         "0::/docker/c1/inner\n",
         {{"/sys/fs/cgroup/inner/memory.max", "max\n"}, {"/sys/fs/cgroup/memory.max", "4096\n"}},
         4096},
        {"a colon in the group's name", "0::/a:b\n", {{"/sys/fs/cgroup/a:b/memory.max", "777\n"}},
         777},
        {"a group name too long for a path: its parents' limits",
         "0::/" + long_name + "\n",
         {{"/sys/fs/cgroup/memory.max", "9\n"}},
         9},
        {"nothing under /sys", "0::/a\n4:memory:/a\n", {}, 0},
        {"no group file", "", {{"/sys/fs/cgroup/memory.max", "9\n"}}, 0},
        {"empty fields", "0::\n::\n:\n\n0\n", {}, 0},
    };
    for (const auto &c : cases) {
        tree files = c.files;
        if (!c.cgroup.empty())
            files.push_back({"/proc/self/cgroup", c.cgroup});
        EXPECT_EQ(limits_in(files).limit, c.limit) << c.what;
    }
    EXPECT_EQ(cgroup_limits("/nonexistent", 0).limit, 0) << "nothing to read at all";
}

// The room that a limit leaves: the limit, less what the group holds beyond the process's own
// pages and its page cache, which can be reclaimed.
TEST(CgroupLimit, RoomIsWhatOthersLeave)
{
    const std::string stat1 = "cache 5000\nrss 9000\ntotal_inactive_file 3000\n"
                              "total_active_file 2000\ntotal_rss 9000\n";
    const struct {
        const char *what;
        tree files;
        std::int64_t own;
        std::int64_t limit;
        std::int64_t room;
    } cases[] = {
        {"v2: others hold 30000 beyond our 10000 and 20000 of cache",
         {{"/sys/fs/cgroup/a/memory.max", "100000\n"},
          {"/sys/fs/cgroup/a/memory.current", "60000\n"},
          {"/sys/fs/cgroup/a/memory.stat", "anon 40000\nfile 20000\nactive_file 15000\n"
                                           "inactive_file 5000\n"}},
         10000, 100000, 70000},
        {"v2: a parent's tighter room wins",
         {{"/sys/fs/cgroup/a/memory.max", "100000\n"},
          {"/sys/fs/cgroup/a/memory.current", "10000\n"},
          {"/sys/fs/cgroup/a/memory.stat", "active_file 0\ninactive_file 0\n"},
          {"/sys/fs/cgroup/memory.max", "150000\n"},
          {"/sys/fs/cgroup/memory.current", "130000\n"},
          {"/sys/fs/cgroup/memory.stat", "active_file 0\ninactive_file 0\n"}},
         10000, 100000, 30000},
        {"v2: nothing but our own and cache", 
         {{"/sys/fs/cgroup/a/memory.max", "100000\n"},
          {"/sys/fs/cgroup/a/memory.current", "30000\n"},
          {"/sys/fs/cgroup/a/memory.stat", "active_file 12000\ninactive_file 9000\n"}},
         10000, 100000, 100000},
        {"v2: usage that cannot be read leaves the limit",
         {{"/sys/fs/cgroup/a/memory.max", "100000\n"},
          {"/sys/fs/cgroup/a/memory.current", "lots\n"},
          {"/sys/fs/cgroup/a/memory.stat", "active_file 0\ninactive_file 0\n"}},
         0, 100000, 100000},
        {"v2: a stat without the file lists leaves the limit",
         {{"/sys/fs/cgroup/a/memory.max", "100000\n"},
          {"/sys/fs/cgroup/a/memory.current", "90000\n"},
          {"/sys/fs/cgroup/a/memory.stat", "anon 90000\n"}},
         0, 100000, 100000},
        {"v2: more held than the limit leaves no room",
         {{"/sys/fs/cgroup/a/memory.max", "100000\n"},
          {"/sys/fs/cgroup/a/memory.current", "250000\n"},
          {"/sys/fs/cgroup/a/memory.stat", "active_file 0\ninactive_file 0\n"}},
         0, 100000, 0},
    };
    for (const auto &c : cases) {
        tree files = c.files;
        files.push_back({"/proc/self/cgroup", "0::/a\n"});
        const cgroup_memory m = limits_in(files, c.own);
        EXPECT_EQ(m.limit, c.limit) << c.what;
        EXPECT_EQ(m.room, c.room) << c.what;
    }
    // v1: the totals of memory.stat, which count the groups below as the usage does.
    const cgroup_memory m = limits_in(
        {{"/proc/self/cgroup", "4:memory:/x\n"},
         {"/sys/fs/cgroup/memory/x/memory.limit_in_bytes", "50000\n"},
         {"/sys/fs/cgroup/memory/x/memory.usage_in_bytes", "16000\n"},
         {"/sys/fs/cgroup/memory/x/memory.stat", stat1}},
        1000);
    EXPECT_EQ(m.limit, 50000);
    EXPECT_EQ(m.room, 50000 - (16000 - 5000 - 1000));
}

TEST(MachineLimits, MemoryAndSwapFromMeminfo)
{
    const struct {
        const char *what;
        std::string meminfo;
        std::int64_t total;
        std::int64_t available;
    } cases[] = {
        {"no swap",
         "MemTotal:       1000 kB\nMemFree:   10 kB\nMemAvailable:    600 kB\n"
         "SwapTotal:         0 kB\nSwapFree:          0 kB\n",
         1000 * 1024, 600 * 1024},
        {"swap counts",
         "MemTotal: 1000 kB\nMemAvailable: 600 kB\nSwapTotal: 500 kB\nSwapFree: 200 kB\n",
         1500 * 1024, 800 * 1024},
        {"a kernel without swap lines", "MemTotal: 1000 kB\nMemAvailable: 600 kB\n", 1000 * 1024,
         600 * 1024},
        {"a kernel without MemAvailable", "MemTotal: 1000 kB\nMemFree: 600 kB\n", 1000 * 1024, -1},
        {"garbage", "MemTotal: lots kB\nMemAvailable: 600 MB\n", -1, -1},
        {"too large", "MemTotal: 99999999999999999 kB\nMemAvailable: 9999999999999999999 kB\n", -1,
         -1},
        {"empty", "", -1, -1},
    };
    for (const auto &c : cases) {
        const std::string root = temp_dir();
        put(root, "/proc/meminfo", c.meminfo);
        const machine_memory m = machine_limits(root);
        EXPECT_EQ(m.total, c.total) << c.what;
        EXPECT_EQ(m.available, c.available) << c.what;
        EXPECT_EQ(std::system(("rm -rf '" + root + "'").c_str()), 0);
    }
    EXPECT_EQ(machine_limits("/nonexistent").total, -1);
}

} // namespace
