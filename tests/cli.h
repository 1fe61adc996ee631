// The end-to-end tests' common ground: the built tool, what it prints, and a fixture with a fresh
// directory for each test.
#pragma once

#include "support.h"

#include <gtest/gtest.h>

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

inline std::string usage_line(const std::string &prog)
{
    return "USAGE : " + prog +
           " columns output-file, where \"columns\" is a positive integer and \"output-file\" is "
           "the name of the file to which to save the image\n";
}

// Under an emulator such as qemu-user the process that the kernel limits and measures is the
// emulator, with its own memory, and not the tool alone: the cases that hold a run's memory against
// a limit cannot work there. The reason, or none.
inline const char *emulation_skip()
{
    if (std::string(VOZK_EMULATOR).empty())
        return nullptr;
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    if (name == "AddressSpaceAndDataLimitsOnBothSides")
        return "under emulation ulimit -v and -d limit the emulator, which alone reserves more "
               "than the tool's whole need (qemu-user takes 128 MiB for its translation buffer)";
    if (name == "CgroupMemoryLimitOnBothSides")
        return "under emulation the cgroup also charges the emulator's own memory, so the peak "
               "is not the tool's";
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
