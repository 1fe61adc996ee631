// End to end: the built tool with given arguments and standard input; exact standard output,
// standard error and exit status, and the PNG decoded again.
#include "cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace
{

TEST_F(Cli, TypicalRun)
{
    const std::string out = dir + "/out.png";
    const run_result r = run({"3", out}, "HELLO\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner() + prompt + success(12, 18, out));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "");
}

TEST_F(Cli, Pictures)
{
    std::string every_byte;
    for (int b = 0; b < 256; b++)
        every_byte += static_cast<char>(b);
    const struct {
        std::string text;
        int columns;
        int width;
        int height;
    } cases[] = {
        {"A\n", 5, 20, 12},
        {"ABCDEFG\n", 3, 12, 24},
        {"dir /w\r\nC:\\>\r\n", 6, 24, 24}, // the carriage returns show as glyphs
        {"\tcol\tumns\n\n  x\n", 4, 16, 36},
        {std::string("\0\0zero\0", 7), 2, 8, 24},
        {every_byte, 16, 64, 102},
        {"no newline at the end", 80, 320, 6},
    };
    for (const auto &c : cases) {
        const std::string out = dir + "/pic.png";
        const run_result r = run({std::to_string(c.columns), out}, c.text);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, banner() + prompt + success(c.width, c.height, out));
        EXPECT_EQ(compare(read_png(out), expected_picture(c.text, c.columns)), "")
            << '"' << c.text << "\" at " << c.columns;
    }
}

TEST_F(Cli, PngWhateverTheName)
{
    for (const std::string name : {"out.jpg", "out", "out.PNG.txt"}) {
        const std::string out = dir + "/" + name;
        ASSERT_EQ(run({"4", out}, "ab\n").status, 0);
        EXPECT_EQ(FreeImage_GetFileType(out.c_str(), 0), FIF_PNG) << name;
        FIBITMAP *bm = FreeImage_Load(FIF_PNG, out.c_str(), 0);
        ASSERT_NE(bm, nullptr);
        EXPECT_EQ(FreeImage_GetBPP(bm), 24u);
        RGBQUAD bk = {1, 1, 1, 1};
        EXPECT_TRUE(FreeImage_GetBackgroundColor(bm, &bk));
        EXPECT_EQ(bk.rgbRed | bk.rgbGreen | bk.rgbBlue, 0);
        FreeImage_Unload(bm);
    }
}

TEST_F(Cli, WrongArgumentCount)
{
    const std::vector<std::vector<std::string>> cases = {{}, {"3"}, {"3", dir + "/a.png", "extra"}};
    for (const auto &args : cases) {
        const run_result r = run(args, "HELLO\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, banner()) << "the banner comes first, and no prompt";
        EXPECT_EQ(r.err, usage_line(tool));
        EXPECT_TRUE(nothing_written());
    }
}

TEST_F(Cli, ColumnCounts)
{
    // Beyond a 32-bit long, strtol gives LONG_MAX, which narrows to 2147483647 columns: a picture
    // too wide for a PNG. The ERANGE it sets must not be taken for the failure of a later step.
    const bool long32 = sizeof(long) == 4;
    const std::string too_wide = "Image too large -- 8589934588 by 6 pixels needed, PNG allows at "
                                 "most 1000000 by 1000000 -- aborting...\n";
    const struct {
        const char *arg;
        int width; // 0: refused; -1: too wide
        int height;
    } cases[] = {
        {"7", 28, 6},
        {" 7", 28, 6},
        {"+7", 28, 6},
        {"7x", 28, 6},
        {"4294967297", long32 ? -1 : 4, 12}, // narrowed to 1
        {"4294967296", long32 ? -1 : 0, 0},  // narrowed to 0
        {"0", 0, 0},
        {"-4", 0, 0},
        {"word", 0, 0},
        {"0x10", 0, 0},
        {"", 0, 0},
        {"2147483647", -1, 0},
        {"2147483648", long32 ? -1 : 0, 0},
        {"99999999999999999999", long32 ? -1 : 0, 0},
        {"-99999999999999999999", 0, 0},
    };
    for (const auto &c : cases) {
        const std::string out = dir + "/c.png";
        const run_result r = run({c.arg, out}, "hi");
        if (c.width > 0) {
            EXPECT_EQ(r.status, 0) << '"' << c.arg << '"';
            EXPECT_EQ(r.out, banner() + prompt + success(c.width, c.height, out));
            std::remove(out.c_str());
        } else {
            EXPECT_EQ(r.status, 1) << '"' << c.arg << '"';
            EXPECT_EQ(r.out, c.width ? banner() + prompt : banner());
            EXPECT_EQ(r.err, c.width ? too_wide : usage_line(tool)) << '"' << c.arg << '"';
            EXPECT_TRUE(nothing_written());
        }
    }
}

TEST_F(Cli, InputTooShort)
{
    for (const std::string input : {"", "A", "\n"}) {
        const run_result r = run({"3", dir + "/s.png"}, input);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, banner() + prompt);
        EXPECT_EQ(r.err, "Input too short -- must be at least 1 character - aborting \n");
        EXPECT_TRUE(nothing_written());
    }
    // Two bytes are enough.
    EXPECT_EQ(run({"3", dir + "/s.png"}, "A\n").status, 0);
}

TEST_F(Cli, UnusableStandardStreams)
{
    const std::string out = dir + "/x.png";
    write_file(dir + "/input", "HELLO\n");
    const struct {
        std::string in;
        std::string out;
        const char *err;
    } cases[] = {
        {"", "", "getdelim() error -- aborting...\n: Bad file descriptor\n"},
        {"/", "", "getdelim() error -- aborting...\n: Is a directory\n"},
        {dir + "/input", "-",
         "Error writing to standard output -- aborting...\n: Bad file descriptor\n"},
        {dir + "/input", "/dev/full",
         "Error writing to standard output -- aborting...\n: No space left on device\n"},
    };
    for (const auto &c : cases) {
        const run_result r = run_program(tool, {"3", out}, c.in, c.out);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_FALSE(exists(out));
    }
}

// errno left set before main (some libraries' constructors do that) is no failure; errno set by
// a step is one, reported by the check after that step.
TEST_F(Cli, ErrnoBelongsToTheStepThatSetIt)
{
    const std::string out = dir + "/out.png";
    write_file(dir + "/input", "HELLO\n");
    const struct {
        const char *preload;
        int status;
        std::string out;
        std::string err;
    } cases[] = {
        {VOZK_STALE_ERRNO, 0, banner() + prompt + success(12, 18, out), ""},
        {VOZK_STEP_ERRNO, 1,
         std::string("Using FreeImage library version ") + FreeImage_GetVersion() + "\n\n",
         "Error getting copyright message -- aborting...\n: Input/output error\n"},
    };
    for (const auto &c : cases) {
        const run_result r = run_program(
            "/bin/sh",
            {"-c", "ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD=\"$0\" exec \"$1\" 3 \"$2\"",
             c.preload, tool, out},
            dir + "/input");
        EXPECT_EQ(r.status, c.status) << c.preload << ": " << r.err;
        EXPECT_EQ(r.out, c.out) << c.preload;
        EXPECT_EQ(r.err, c.err) << c.preload;
    }
    EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "");
}

TEST_F(Cli, AllocationThatYieldsNothing)
{
    const run_result r = run({"3", dir + "/x.png"}, "HELLO\n", tool_without_bitmaps);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner() + prompt);
    EXPECT_EQ(r.err, "Error allocating memory for image -- aborting...\n");
    EXPECT_TRUE(nothing_written());
}

} // namespace
