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

const std::string v2_mount = "30 24 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
const std::string v1_mount = "40 25 0:35 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n"
                             "41 25 0:36 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n";

TEST(CgroupLimit, TheSmallestOnThePathOfTheGroup)
{
    const struct {
        const char *what;
        std::string mountinfo;
        std::string cgroup;
        std::vector<std::pair<std::string, std::string>> files;
        std::int64_t limit;
    } cases[] = {
        {"v2, set on a parent",
         v2_mount,
         "0::/a/b\n",
         {{"/sys/fs/cgroup/a/b/memory.max", "max\n"}, {"/sys/fs/cgroup/a/memory.max", "1000\n"}},
         1000},
        {"v2, tighter below",
         v2_mount,
         "0::/a/b\n",
         {{"/sys/fs/cgroup/a/b/memory.max", "700\n"}, {"/sys/fs/cgroup/a/memory.max", "1000\n"}},
         700},
        {"v2, no limit anywhere",
         v2_mount,
         "0::/a\n",
         {{"/sys/fs/cgroup/a/memory.max", "max\n"}},
         0},
        {"v2, the group is the root", v2_mount, "0::/\n", {}, 0},
        {"v1, with other controllers",
         v1_mount,
         "5:cpu:/elsewhere\n4:memory:/x/y\n",
         {{"/sys/fs/cgroup/memory/x/y/memory.limit_in_bytes", "5000\n"},
          {"/sys/fs/cgroup/memory/x/memory.limit_in_bytes", "3000\n"},
          {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"},
          {"/sys/fs/cgroup/cpu/elsewhere/memory.limit_in_bytes", "10\n"}},
         3000},
        {"v1 and v2 together",
         v1_mount + v2_mount,
         "4:memory:/x\n0::/x\n",
         {{"/sys/fs/cgroup/memory/x/memory.limit_in_bytes", "5000\n"},
          {"/sys/fs/cgroup/x/memory.max", "6000\n"}},
         5000},
        {"a container's view: the mount shows its own group as the root",
         "30 24 0:26 /docker/c1 /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
         "0::/docker/c1\n",
         {{"/sys/fs/cgroup/memory.max", "4096\n"}},
         4096},
        {"no cgroup file system mounted",
         "",
         "0::/a\n",
         {{"/sys/fs/cgroup/a/memory.max", "9\n"}},
         0},
        {"optional fields before the separator",
         "30 24 0:26 / /sys/fs/cgroup rw shared:4 master:1 - cgroup2 cgroup2 rw\n",
         "0::/a\n",
         {{"/sys/fs/cgroup/a/memory.max", "8192\n"}},
         8192},
    };
    for (const auto &c : cases) {
        const std::string root = temp_dir();
        put(root, "/proc/self/mountinfo", c.mountinfo);
        put(root, "/proc/self/cgroup", c.cgroup);
        for (const auto &f : c.files)
            put(root, f.first, f.second);
        EXPECT_EQ(cgroup_limit(root), c.limit) << c.what;
        EXPECT_EQ(std::system(("rm -rf '" + root + "'").c_str()), 0);
    }
}

TEST(CgroupLimit, NothingToReadIsNoLimit)
{
    EXPECT_EQ(cgroup_limit("/nonexistent"), 0);
}

TEST(CheckMemory, SmallPicturesFit)
{
    const memory_limit verdict = check_memory(320, 600);
    EXPECT_EQ(verdict.limit, 0) << verdict.name << " " << verdict.limit;
}

TEST(CheckMemory, TooLargeForAnyMachineNamesTheTightestLimit)
{
    const memory_limit verdict = check_memory(1000000, 999996);
    EXPECT_GT(verdict.limit, 0);
    EXPECT_GT(verdict.need, bitmap_bytes(1000000, 999996));
    EXPECT_LT(verdict.limit, verdict.need);
}

} // namespace
