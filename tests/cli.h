// The end-to-end tests' common ground: the built tool, what it prints, and a fixture with a fresh
// directory for each test.
#pragma once

#include "support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// The tool that was built, or another copy of it named by VOZK_RENDER (such as the one in a
// package).
inline const std::string tool =
    std::getenv("VOZK_RENDER") ? std::getenv("VOZK_RENDER") : VOZK_RENDER;
inline const std::string tool_without_bitmaps = VOZK_RENDER_NOALLOC;

inline std::string banner()
{
    return std::string("Using FreeImage library version ") + FreeImage_GetVersion() + "\n\n" +
           FreeImage_GetCopyrightMessage() +
           "\n\nvozk-render draws text in its own 4 x 6 pixel font, white on black...\n\n";
}

inline const std::string prompt = "Enter characters :";

inline std::string success(int width, int height, const std::string &path)
{
    return "\nSuccessfully rendered " + std::to_string(width) + " by " + std::to_string(height) +
           " pixel bitmap " + path + "! :)...\n";
}

// Root may write anything and make cgroups; some cases need it, some need to be someone else.
inline bool root()
{
    return geteuid() == 0;
}

// Built with AddressSanitizer, which reserves terabytes of address space, keeps shadow memory, and
// reads its options from /proc.
inline bool sanitized()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
    return __has_feature(address_sanitizer);
#else
    return false;
#endif
}

inline std::string usage_line(const std::string &prog)
{
    return "USAGE : " + prog +
           " columns output-file, where \"columns\" is a positive integer and \"output-file\" is "
           "the name of the file to which to save the image\n";
}

// Bytes that make a large PNG (random glyphs compress badly), slow enough to encode to be caught
// half-way.
inline std::string random_bytes(size_t n, unsigned seed)
{
    std::string text(n, 'x');
    for (char &ch : text)
        ch = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
    return text;
}

inline mode_t mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

const uid_t nobody = 65534;
const gid_t nogroup = 65534;

// How a case runs the tool: as whom, where, with what set up first and what preloaded.
struct launch {
    bool nobody = false;  // as nobody, through setpriv (needs root)
    bool no_proc = false; // in a mount namespace without /proc, as in a bare chroot (needs root)
    std::string setup;    // shell commands run first: ulimit, umask, trap
    std::string hook_at;  // a point of the run (preload_hook.cpp), and the command run there
    std::string hook_run;
    std::string fail_at;  // a point of the run whose call fails instead, with its errno
};

// Run first in a new mount namespace ("unshare -m --propagation unchanged"), it stops what is then
// mounted on /proc from reaching the machine's. "--propagation private" would do that for every
// mount, but fails where the root is no mount point, as in a chroot.
const std::string private_proc = "mount --make-rprivate /proc && ";

// Runs the tool as launched, with core dumps off: a signal that dumps core leaves no file.
inline run_result run_tool(const launch &how, const std::vector<std::string> &args,
                           const std::string &input)
{
    std::vector<std::string> argv = {"-c", "ulimit -c 0; " + how.setup + " exec \"$@\"", "sh"};
    if (how.no_proc)
        argv.insert(argv.end(), {"/usr/bin/unshare", "-m", "--propagation", "unchanged", "/bin/sh",
                                 "-c", private_proc + "umount -l /proc && exec \"$@\"", "sh"});
    if (how.nobody)
        argv.insert(argv.end(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    argv.insert(argv.end(), {"/usr/bin/env", "ASAN_OPTIONS=verify_asan_link_order=0"});
    if (!how.hook_at.empty() || !how.fail_at.empty())
        argv.insert(argv.end(), {std::string("LD_PRELOAD=") + VOZK_HOOK,
                                 "VOZK_HOOK_AT=" + how.hook_at, "VOZK_HOOK_RUN=" + how.hook_run,
                                 "VOZK_HOOK_FAIL=" + how.fail_at});
    argv.push_back(tool);
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program("/bin/sh", argv, input);
}

// Why a launch cannot run here, or empty when it can.
inline std::string cannot_launch(const launch &how)
{
    if ((how.nobody || how.no_proc) && !root())
        return "needs root to act as another user or to unmount /proc";
    if (how.nobody && access("/usr/bin/setpriv", X_OK) != 0)
        return "needs setpriv (Debian package util-linux)";
    if (how.no_proc && access("/usr/bin/unshare", X_OK) != 0)
        return "needs unshare (Debian package util-linux)";
    if (how.no_proc && sanitized())
        return "the sanitizers need /proc: they read their options and the memory map there";
    return "";
}

// Under an emulator such as qemu-user the process that the kernel limits and measures is the
// emulator, with its own memory, and not the tool alone: the cases that hold a run's memory against
// a limit cannot work there. The reason, or none.
inline const char *emulation_skip()
{
    if (std::string(VOZK_EMULATOR).empty())
        return nullptr;
    const char *ulimit = "under emulation ulimit -v and -d limit the emulator, which alone reserves "
                         "more than the tool's whole need (qemu-user takes 128 MiB for its "
                         "translation buffer)";
    const char *cgroup = "under emulation the cgroup also charges the emulator's own memory, so the "
                         "peak is not the tool's";
    const char *mount_id = "qemu-user passes statx's STATX_MNT_ID bit on but not the mount id (0), so "
                           "a file bind-mounted from its own file system cannot be told there";
    const struct {
        const char *test, *why;
    } cases[] = {{"AddressSpaceAndDataLimitsOnBothSides", ulimit},
                 {"HugeTextsUnderUlimitV", ulimit},
                 {"CgroupMemoryLimitOnBothSides", cgroup},
                 {"OthersInTheCgroupOnBothSides", cgroup},
                 {"APictureEncodedIntoMemoryCounts", cgroup},
                 {"PageCacheInTheCgroupIsNoObstacle", cgroup},
                 {"WhatAPlainWriteWouldKeep/ABindMountedFile", mount_id}};
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    for (const auto &c : cases)
        if (name == c.test)
            return c.why;
    return nullptr;
}

class Cli : public ::testing::Test
{
  protected:
    std::string dir;
    void SetUp() override
    {
        if (const char *why = emulation_skip())
            GTEST_SKIP() << why;
        dir = temp_dir();
    }
    void TearDown() override
    {
        if (dir.empty()) // skipped before it was made
            return;
        const std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
    run_result run(const std::vector<std::string> &args, const std::string &input,
                   const std::string &program = tool)
    {
        write_file(dir + "/input", input);
        return run_program(program, args, dir + "/input");
    }
    // Only the input file is in the directory: nothing was written.
    bool nothing_written()
    {
        return read_file_list() == "input\n";
    }
    std::string read_file_list()
    {
        return names_in(dir);
    }
};
