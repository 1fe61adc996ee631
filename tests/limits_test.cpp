// End to end: every limit of the tool on both sides, the last size that is accepted and the
// first that is refused: the PNG format's, the input's, and memory (physical, the cgroup's,
// ulimit -v and ulimit -d).
#include "cli.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using Limits = Cli;

// What a refusal for memory says: the picture's size, what the run needs, the limit and its name.
struct refusal {
    std::string size;
    long long need = 0;
    long long limit = 0;
    std::string name;
};

refusal refusal_of(const std::string &err)
{
    refusal r;
    const std::string head = "Image too large for memory -- ";
    const std::string tail = " -- aborting...\n";
    if (err.rfind(head, 0) != 0 || err.size() < head.size() + tail.size() ||
        err.compare(err.size() - tail.size(), tail.size(), tail) != 0)
        return r;
    const std::string body = err.substr(head.size(), err.size() - head.size() - tail.size());
    const size_t pixels = body.find(" pixels need ");
    const size_t bytes = body.find(" bytes, ");
    const size_t last = body.rfind(' ');
    if (pixels == std::string::npos || bytes == std::string::npos || last < bytes)
        return r;
    r.size = body.substr(0, pixels);
    r.need = std::stoll(body.substr(pixels + 13, bytes - pixels - 13));
    r.name = body.substr(bytes + 8, last - bytes - 8);
    r.limit = std::stoll(body.substr(last + 1));
    return r;
}

// libpng writes at most 1,000,000 pixels either way: 250,000 columns, 166,666 text lines.
TEST_F(Limits, PictureSize)
{
    const std::string out = dir + "/big.png";
    const std::string tall_ok(166666, 'A');
    const std::string tall_no(166667, 'A');
    const struct {
        std::string columns;
        const std::string *text;
        long long width;
        long long height;
        bool fits;
    } cases[] = {
        {"250000", nullptr, 1000000, 12, true},
        {"250001", nullptr, 1000004, 12, false},
        {"2147483647", nullptr, 8589934588, 12, false},
        {"1", &tall_ok, 4, 999996, true},
        {"1", &tall_no, 4, 1000002, false},
    };
    for (const auto &c : cases) {
        write_file(out, "keep me");
        const run_result r = run({c.columns, out}, c.text ? *c.text : "A\n");
        const std::string size = std::to_string(c.width) + " by " + std::to_string(c.height);
        if (c.fits) {
            EXPECT_EQ(r.status, 0) << size << ": " << r.err;
            EXPECT_EQ(r.out, banner() + prompt + success(c.width, c.height, out));
            const picture p = read_png(out);
            EXPECT_EQ(p.width, c.width);
            EXPECT_EQ(p.height, c.height);
        } else {
            EXPECT_EQ(r.status, 1) << size;
            EXPECT_EQ(r.out, banner() + prompt);
            EXPECT_EQ(r.err, "Image too large -- " + size +
                                 " pixels needed, PNG allows at most 1000000 by 1000000 -- "
                                 "aborting...\n");
            EXPECT_EQ(read_file(out), "keep me");
        }
    }
}

// 1,000,000 by 999,996 pixels: allowed in a PNG, but 3 TB of bitmap, more than any machine has.
TEST_F(Limits, PictureLargerThanMemory)
{
    const std::string text = std::string(166665, '\n') + "A";
    const run_result r = run({"250000", dir + "/x.png"}, text);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, banner() + prompt);
    const refusal why = refusal_of(r.err);
    EXPECT_EQ(why.size, "1000000 by 999996") << r.err;
    EXPECT_GT(why.need, 2999988000000) << r.err;
    EXPECT_LT(why.limit, why.need) << r.err;
    EXPECT_TRUE(nothing_written());
}

// Inputs of 2^31 bytes and more are refused; one byte less gets as far as sizing the picture.
TEST_F(Limits, InputSize)
{
    const std::string input = dir + "/input";
    for (const long long size : {2147483648LL, 2147483647LL}) {
        const int fd = open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(ftruncate(fd, size), 0); // sparse: zero bytes, no newline
        close(fd);
        const run_result r = run_program(tool, {"1", dir + "/x.png"}, input);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, banner() + prompt);
        if (size == 2147483648LL)
            EXPECT_EQ(r.err,
                      "Input too long -- must be less than 2147483648 bytes -- aborting...\n");
        else
            EXPECT_EQ(r.err, "Image too large -- 4 by 12884901882 pixels needed, PNG allows at "
                             "most 1000000 by 1000000 -- aborting...\n");
        EXPECT_FALSE(exists(dir + "/x.png"));
    }
}

// Text in lines of about 50 bytes: 300 KB of it at 80 columns make a bitmap of about 36 MB.
std::string lines_of_text(size_t n)
{
    std::string text;
    for (int k = 0; text.size() < n; k++)
        text += "the quick brown fox jumps over the lazy dog, " + std::to_string(k) + "\n";
    return text;
}

// A number after name: in /proc/self/status form ("VmPeak:    1234 kB"), in bytes.
long long status_bytes(const std::string &err, const std::string &name)
{
    const size_t at = err.find(name + ":");
    return at == std::string::npos ? -1 : std::stoll(err.substr(at + name.size() + 1)) * 1024;
}

// ulimit -v and ulimit -d: a refusal names what the run needs; with exactly that much the run
// renders, with 1 KiB less it is refused. The need is what the run really takes at its peak,
// with at most 2 MiB to spare.
TEST_F(Limits, AddressSpaceAndDataLimitsOnBothSides)
{
    if (sanitized())
        GTEST_SKIP() << "the sanitizers reserve terabytes of address space";
    const std::string text = lines_of_text(300000);
    write_file(dir + "/input", text);
    const std::string out = dir + "/out.png";
    const std::string size = "320 by " + std::to_string(6 * model_lines(text, 80));
    const auto limited = [&](const char *option, long long kib) {
        const std::string script = std::string("ulimit ") + option + " " + std::to_string(kib) +
                                   "; LD_PRELOAD=\"$2\" exec \"$0\" 80 \"$1\"";
        return run_program("/bin/sh", {"-c", script, tool, out, VOZK_PEAK_REPORT}, dir + "/input");
    };
    const struct {
        const char *option;
        const char *name;
    } cases[] = {{"-v", "the address-space limit (ulimit -v) is"},
                 {"-d", "the data-size limit (ulimit -d) is"}};
    for (const auto &c : cases) {
        run_result r = limited(c.option, 32768);
        const refusal tight = refusal_of(r.err.substr(0, r.err.find("VmPeak")));
        EXPECT_EQ(r.status, 1) << c.option;
        EXPECT_EQ(tight.size, size) << r.err;
        EXPECT_EQ(tight.name, c.name) << r.err;
        EXPECT_EQ(tight.limit, 32768 * 1024LL) << r.err;
        ASSERT_GT(tight.need, 32768 * 1024LL) << r.err;

        r = limited(c.option, (tight.need + 1023) / 1024);
        EXPECT_EQ(r.status, 0) << c.option << " with what the refusal asked for: " << r.err;
        EXPECT_EQ(r.out, banner() + prompt + success(320, 6 * model_lines(text, 80), out));
        if (std::string(c.option) == "-v") { // the peak of the data alone is not on record
            const long long peak = status_bytes(r.err, "VmPeak");
            EXPECT_LE(peak, tight.need);
            EXPECT_LT(tight.need - peak, 2LL << 20) << "refuses runs that would fit";
        }

        r = limited(c.option, (tight.need - 1) / 1024);
        EXPECT_EQ(r.status, 1) << c.option;
        EXPECT_EQ(refusal_of(r.err.substr(0, r.err.find("VmPeak"))).need, tight.need) << r.err;
    }
}

// The memory controller of the cgroup the tests run in, if we may make groups in it: the
// directory of a new group there and the name of its limit file; empty otherwise.
std::pair<std::string, std::string> new_cgroup()
{
    std::string v1, v2;
    std::istringstream groups(read_file("/proc/self/cgroup"));
    for (std::string line; std::getline(groups, line);) {
        const std::string path = line.substr(line.rfind(':') + 1);
        if (line.find(":memory:") != std::string::npos)
            v1 = "/sys/fs/cgroup/memory" + path;
        else if (line.rfind("0::", 0) == 0)
            v2 = "/sys/fs/cgroup" + path;
    }
    for (const auto &[parent, file] :
         {std::pair<std::string, std::string>{v1, "memory.limit_in_bytes"},
          std::pair<std::string, std::string>{v2, "memory.max"}}) {
        if (parent.empty())
            continue;
        const std::string group = parent + "/vozk-test-" + std::to_string(getpid());
        if (mkdir(group.c_str(), 0755) != 0)
            continue;
        if (exists(group + "/" + file) && exists(group + "/cgroup.procs"))
            return {group, file};
        rmdir(group.c_str());
    }
    return {};
}

// The cgroup's memory limit: refused below it with a word, rendered above it. Without the check
// the kernel's out-of-memory killer ends such a run without one.
TEST_F(Limits, CgroupMemoryLimitOnBothSides)
{
    if (sanitized())
        GTEST_SKIP() << "the sanitizers' shadow memory is no part of a real run's";
    if (!root())
        GTEST_SKIP() << "needs root to make a cgroup";
    const auto [group, file] = new_cgroup();
    if (group.empty())
        GTEST_SKIP() << "no cgroup memory controller here in which we may make a group";
    const std::string text = lines_of_text(300000);
    write_file(dir + "/input", text);
    const std::string out = dir + "/out.png";
    const auto limited = [&](long long bytes) {
        write_file(group + "/" + file, std::to_string(bytes));
        return run_program(
            "/bin/sh",
            {"-c", "echo $$ > \"$0/cgroup.procs\" && LD_PRELOAD=\"$3\" exec \"$1\" 80 \"$2\"",
             group, tool, out, VOZK_PEAK_REPORT},
            dir + "/input");
    };
    run_result r = limited(16 << 20);
    const refusal tight = refusal_of(r.err.substr(0, r.err.find("VmPeak")));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tight.name, "the cgroup's memory limit is") << r.err;
    EXPECT_EQ(tight.limit, 16 << 20) << r.err;
    // The resident size at the start differs a little from run to run: a margin of 1 MiB.
    r = limited(tight.need + (1 << 20));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, banner() + prompt + success(320, 6 * model_lines(text, 80), out));
    const long long peak = status_bytes(r.err, "VmHWM");
    EXPECT_LE(peak, tight.need);
    EXPECT_LT(tight.need - peak, 2LL << 20) << "refuses runs that would fit";
    r = limited(tight.need - (1 << 20));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(refusal_of(r.err.substr(0, r.err.find("VmPeak"))).name,
              "the cgroup's memory limit is")
        << r.err;
    EXPECT_EQ(rmdir(group.c_str()), 0);
}

} // namespace
