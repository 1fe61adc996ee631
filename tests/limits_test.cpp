// End to end: every limit of the tool on both sides, the last size that is accepted and the
// first that is refused: the PNG format's, the input's, and memory (what the machine can still
// give, the cgroup's limit and what others in the cgroup leave of it, ulimit -v and ulimit -d).
// A text too large for a limit is refused while it is read, without being held.
#include "cli.h"
#include "memory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace
{

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

// A number after name: in /proc/self/status form ("VmPeak:    1234 kB"), in bytes.
long long status_bytes(const std::string &err, const std::string &name)
{
    const size_t at = err.find(name + ":");
    return at == std::string::npos ? -1 : std::stoll(err.substr(at + name.size() + 1)) * 1024;
}

// A script that pipes size zero bytes, a text of ordinary glyphs, into the tool at columns: no
// file, no disk, no page cache.
std::string zeros_into(long long size, const std::string &columns)
{
    return "head -c " + std::to_string(size) + " /dev/zero | LD_PRELOAD=\"$2\" \"$0\" " + columns +
           " \"$1\"";
}

// Text in lines of about 50 bytes: 300 KB of it at 80 columns make a bitmap of about 36 MB.
std::string lines_of_text(size_t n)
{
    std::string text;
    for (int k = 0; text.size() < n; k++)
        text += "the quick brown fox jumps over the lazy dog, " + std::to_string(k) + "\n";
    return text;
}

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

// The refusal in a run's standard error, ahead of the peaks that the preloaded library adds.
refusal refusal_in(const run_result &r)
{
    return refusal_of(r.err.substr(0, r.err.find("VmPeak")));
}

// The tool is run through sh -c script, where "$0" is the tool, "$1" the output file and "$2" a
// library that adds the run's peak memory to its standard error at the end.
const char *const tool_at_80 = "LD_PRELOAD=\"$2\" exec \"$0\" 80 \"$1\"";

class Limits : public Cli
{
  protected:
    std::string group; // a cgroup of the test's own, once made
    std::string limit_file;

    void TearDown() override
    {
        if (!group.empty()) {
            EXPECT_EQ(rmdir(group.c_str()), 0) << group << ": " << std::strerror(errno);
        }
        Cli::TearDown();
    }
    // Makes the cgroup; the reason when it cannot.
    std::string make_cgroup()
    {
        if (sanitized())
            return "the sanitizers' shadow memory is no part of a real run's";
        if (!root())
            return "needs root to make a cgroup";
        std::tie(group, limit_file) = new_cgroup();
        return group.empty() ? "no cgroup memory controller here in which we may make a group" : "";
    }
    void set_limit(long long bytes)
    {
        write_file(group + "/" + limit_file, std::to_string(bytes));
    }
    // A script that runs the rest of it in the cgroup.
    std::string in_cgroup(const std::string &script) const
    {
        return "echo $$ > '" + group + "/cgroup.procs' && " + script;
    }
    run_result sh(const std::string &script, const std::string &input)
    {
        // The sanitizers' runtime must come first of all libraries, and their shadow memory
        // makes the peak no real run's: there the peak is neither reported nor checked.
        const std::string peak = sanitized() ? "" : VOZK_PEAK_REPORT;
        return run_program("/bin/sh", {"-c", script, tool, dir + "/out.png", peak}, input);
    }
    // Texts far larger than the limit that prefix sets, a script that runs the rest under it: an
    // endless stream, too tall for a PNG at 80 columns, is refused at the first line too many,
    // and so is 150 MB of one glyph where no limit is set. Under a limit, that text and 100 MB at
    // 8000 columns (whose bitmap would take 7 GB) are refused for memory as the input buffer
    // would grow, naming the limit, with the figures of the text read so far; without a limit
    // the latter would be drawn, so it is left out. None of them is held, nor killed by the limit.
    void refuses_huge_texts(const std::string &prefix, const std::string &name, long long limit)
    {
        struct huge {
            const char *what;
            std::string script;
            const char *width; // of a picture refused for memory; none: too tall
        };
        std::vector<huge> cases = {
            {"150 MB of one glyph", prefix + zeros_into(150000000, "80"),
             name.empty() ? nullptr : "320"},
            {"an endless stream", prefix + "yes | LD_PRELOAD=\"$2\" \"$0\" 80 \"$1\"", nullptr},
        };
        if (!name.empty())
            cases.push_back(
                {"100 MB at 8000 columns", prefix + zeros_into(100000000, "8000"), "32000"});
        for (const huge &c : cases) {
            const run_result r = sh(c.script, "");
            const std::string err = r.err.substr(0, r.err.find("VmPeak"));
            EXPECT_EQ(r.status, 1) << c.what << ": " << r.err;
            EXPECT_EQ(r.out, banner() + prompt) << c.what;
            if (c.width) {
                const refusal why = refusal_of(err);
                const std::string width = c.width;
                ASSERT_EQ(why.size.substr(0, width.size() + 4), width + " by ") << c.what << err;
                EXPECT_EQ(why.name, name) << c.what << ": " << err;
                EXPECT_EQ(why.limit, limit) << c.what << ": " << err;
                EXPECT_GT(why.need, bitmap_bytes(std::stoll(width),
                                                 std::stoll(why.size.substr(width.size() + 4))))
                    << c.what << ": " << err;
            } else {
                EXPECT_EQ(err, too_tall) << c.what;
            }
            if (!sanitized()) {
                EXPECT_LT(status_bytes(r.err, "VmHWM"), 48LL << 20) << c.what << ": " << r.err;
            }
            EXPECT_FALSE(exists(dir + "/out.png")) << c.what;
        }
    }
    static constexpr const char *too_tall = "Image too large -- 320 by 1000002 pixels needed, PNG "
                                            "allows at most 1000000 by 1000000 -- aborting...\n";
};

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

// With 32-bit pointers, a bitmap that memory could hold may not fit in the address space: 3.6 GB,
// whose allocation fails, or 5.4 GB, past what a size_t counts, which the library refuses without
// a reason. Either run ends with the allocation's message (or, on a machine with less memory, the
// refusal for memory), never with a crash.
TEST_F(Limits, PictureLargerThanTheAddressSpace)
{
    if (sizeof(void *) > 4)
        GTEST_SKIP() << "a 64-bit address space holds any bitmap that memory can";
    const std::string nomem = "Error allocating memory for image -- aborting...\n";
    for (const size_t lines : {200, 300}) {
        const run_result r = run({"250000", dir + "/x.png"}, "A" + std::string(lines - 1, '\n'));
        EXPECT_EQ(r.status, 1) << lines << " lines: " << r.err;
        EXPECT_EQ(r.out, banner() + prompt);
        const bool memory = !refusal_of(r.err).name.empty();
        EXPECT_TRUE(memory || r.err == nomem || r.err == nomem + ": Cannot allocate memory\n")
            << lines << " lines: " << r.err;
        EXPECT_TRUE(nothing_written());
    }
}

// Inputs of 2^31 bytes and more are refused; one byte less gets as far as sizing the picture.
// The 2 GiB are not held to find that out: for a picture too wide for a PNG, the text is read
// and counted, one buffer's worth at a time, and the message gives the whole text's figures. One
// too large for memory is refused as soon as the input buffer would grow beyond what memory
// holds beside the bitmap of the lines so far, with their figures.
TEST_F(Limits, InputSize)
{
    if (machine_limits("").total > 160000000000)
        GTEST_SKIP() << "this machine could hold the bitmap of 2 GiB of text at 250000 columns";
    const std::string too_long =
        "Input too long -- must be less than 2147483648 bytes -- aborting...\n";
    const struct {
        std::string columns;
        long long size;
        std::string err; // empty: too large for memory
    } cases[] = {
        {"250001", 2147483648LL, too_long},
        {"250001", 2147483647LL,
         "Image too large -- 1000004 by 51540 pixels needed, PNG allows at most 1000000 by "
         "1000000 -- aborting...\n"},
        {"250000", 2147483648LL, ""},
        {"250000", 2147483647LL, ""},
    };
    for (const auto &c : cases) {
        const run_result r = sh(zeros_into(c.size, c.columns), "");
        const std::string err = r.err.substr(0, r.err.find("VmPeak"));
        const std::string what = c.columns + " columns, " + std::to_string(c.size) + " bytes";
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.out, banner() + prompt) << what;
        if (c.err.empty()) {
            const refusal why = refusal_of(err);
            ASSERT_EQ(why.size.substr(0, 11), "1000000 by ") << err;
            const long long height = std::stoll(why.size.substr(11));
            EXPECT_LT(height, 51540) << err;
            EXPECT_GT(why.need, bitmap_bytes(1000000, height)) << err;
            EXPECT_LT(why.limit, why.need) << err;
        } else {
            EXPECT_EQ(err, c.err) << what;
        }
        if (c.columns == "250001" && !sanitized()) {
            EXPECT_LT(status_bytes(r.err, "VmHWM"), 48LL << 20) << what << ": held the text";
        }
        EXPECT_FALSE(exists(dir + "/out.png")) << what;
    }
}

TEST_F(Limits, HugeTextsWithoutALimit)
{
    refuses_huge_texts("", "", 0);
}

TEST_F(Limits, HugeTextsUnderUlimitV)
{
    if (sanitized())
        GTEST_SKIP() << "the sanitizers reserve terabytes of address space";
    refuses_huge_texts("ulimit -v 65536; ", "the address-space limit (ulimit -v) is", 64 << 20);
}

TEST_F(Limits, HugeTextsUnderACgroupLimit)
{
    const std::string why = make_cgroup();
    if (!why.empty())
        GTEST_SKIP() << why;
    set_limit(64 << 20);
    refuses_huge_texts(in_cgroup(""), "the cgroup's memory limit is", 64 << 20);
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
        return sh(std::string("ulimit ") + option + " " + std::to_string(kib) + "; " + tool_at_80,
                  dir + "/input");
    };
    const struct {
        const char *option;
        const char *name;
    } cases[] = {{"-v", "the address-space limit (ulimit -v) is"},
                 {"-d", "the data-size limit (ulimit -d) is"}};
    for (const auto &c : cases) {
        run_result r = limited(c.option, 32768);
        const refusal far = refusal_in(r);
        EXPECT_EQ(r.status, 1) << c.option;
        EXPECT_EQ(far.size, size) << r.err;
        EXPECT_EQ(far.name, c.name) << r.err;
        EXPECT_EQ(far.limit, 32768 * 1024LL) << r.err;
        ASSERT_GT(far.need, 32768 * 1024LL) << r.err;

        r = limited(c.option, (far.need - (256 << 10)) / 1024);
        const refusal tight = refusal_in(r);
        ASSERT_EQ(r.status, 1) << c.option << " 256 KiB below what the refusal asked for";
        EXPECT_NEAR(tight.need, far.need, 16 << 10) << r.err;

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
        EXPECT_EQ(refusal_in(r).need, tight.need) << r.err;
    }
}

// The cgroup's memory limit: refused below it with a word, rendered above it. Without the check
// the kernel's out-of-memory killer ends such a run without one.
TEST_F(Limits, CgroupMemoryLimitOnBothSides)
{
    const std::string why = make_cgroup();
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string text = lines_of_text(300000);
    write_file(dir + "/input", text);
    const std::string out = dir + "/out.png";
    const auto limited = [&](long long bytes) {
        set_limit(bytes);
        return sh(in_cgroup(tool_at_80), dir + "/input");
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
}

// A picture that is to be encoded into memory, because the directory of a file to be written in
// place takes no file, counts in the need for no less than the PNG written, and the cgroup's
// limit holds it on both sides. Here nobody writes root's file in place: encoded beside it where
// nobody may write the directory, into memory where it may not.
TEST_F(Limits, APictureEncodedIntoMemoryCounts)
{
    launch other;
    other.nobody = true;
    std::string why = cannot_launch(other);
    if (why.empty())
        why = make_cgroup();
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string text = lines_of_text(300000);
    write_file(dir + "/input", text);
    write_file(dir + "/out.png", "the old picture");
    ASSERT_EQ(chmod((dir + "/out.png").c_str(), 0666), 0);
    const auto limited = [&](long long bytes, bool in_memory) {
        EXPECT_EQ(chmod(dir.c_str(), in_memory ? 0555 : 0777), 0);
        set_limit(bytes);
        return sh(in_cgroup("LD_PRELOAD=\"$2\" exec setpriv --reuid=65534 --regid=65534 "
                            "--clear-groups \"$0\" 80 \"$1\""),
                  dir + "/input");
    };
    // Beside the file, the need of the run; with that much and 1 MiB more, the run into memory
    // must still be refused, for a need larger by the picture.
    const refusal on_disk = refusal_in(limited(16 << 20, false));
    run_result r = limited(on_disk.need + (1 << 20), true);
    const refusal in_memory = refusal_in(r);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(in_memory.name, "the cgroup's memory limit is") << r.err;

    // The resident size at the start differs a little from run to run: 2 MiB over, 1 MiB under.
    r = limited(in_memory.need + (2 << 20), true);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(compare(read_png(dir + "/out.png"), expected_picture(text, 80)), "");
    // The run held in memory the PNG it wrote: the need counts it, beyond runs' 1 MiB of noise.
    const long long png = static_cast<long long>(read_file(dir + "/out.png").size());
    EXPECT_GE(in_memory.need - on_disk.need, png + (1 << 20)) << r.err;
    r = limited(in_memory.need - (1 << 20), true);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(refusal_in(r).name, "the cgroup's memory limit is") << r.err;
    chmod(dir.c_str(), 0755);
}

// A process that joins group and holds bytes of memory there until go is closed.
struct holder {
    pid_t pid;
    int go;
};

holder hold(const std::string &group, size_t bytes)
{
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0)
        return {-1, -1};
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(go[1]);
        write_file(group + "/cgroup.procs", std::to_string(getpid()));
        // Mapped and faulted in, not malloc'd and written: a compiler may drop a block that is
        // written and never read.
        void *block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
        char c = 1;
        if (block != MAP_FAILED && write(ready[1], &c, 1) == 1)
            while (read(go[0], &c, 1) > 0) {
            }
        _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    char c = 0;
    const bool up = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (!up) {
        close(go[1]);
        wait_for(pid, 10);
        return {-1, -1};
    }
    return {pid, go[1]};
}

void release(const holder &h)
{
    close(h.go);
    EXPECT_EQ(wait_for(h.pid, 10), 0) << "the holder did not go";
}

// Memory that another process in the cgroup holds is not there for the run: a run that fits the
// limit alone but not beside it is refused, naming what is left of the limit; with 1 MiB more
// than that it renders, with 1 MiB less it is refused. Without the count the kernel's
// out-of-memory killer ends the run.
TEST_F(Limits, OthersInTheCgroupOnBothSides)
{
    const std::string why = make_cgroup();
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string text = lines_of_text(300000);
    write_file(dir + "/input", text);
    const auto limited = [&](long long bytes) {
        set_limit(bytes);
        const run_result r = sh(in_cgroup(tool_at_80), dir + "/input");
        return std::make_pair(r, refusal_of(r.err.substr(0, r.err.find("VmPeak"))));
    };
    const refusal alone = limited(16 << 20).second;
    ASSERT_GT(alone.need, 16 << 20) << "no refusal at 16 MiB";

    set_limit(1 << 30);
    const long long others = 32 << 20;
    const holder h = hold(group, others);
    ASSERT_GT(h.pid, 0) << "the holder could not join the cgroup";
    const long long limit = alone.need + others / 2; // enough for the run alone
    auto [r, left] = limited(limit);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(left.name, "the cgroup's memory limit leaves") << r.err;
    const long long held = limit - left.limit;
    EXPECT_GE(held, others) << r.err;
    EXPECT_LT(held, others + (4 << 20)) << r.err;

    std::tie(r, left) = limited(alone.need + held + (1 << 20));
    EXPECT_EQ(r.status, 0) << "1 MiB more than others leave: " << r.err;
    EXPECT_EQ(r.out, banner() + prompt + success(320, 6 * model_lines(text, 80), dir + "/out.png"));
    std::tie(r, left) = limited(alone.need + held - (1 << 20));
    EXPECT_EQ(r.status, 1) << "1 MiB less than others leave: " << r.err;
    EXPECT_EQ(left.name, "the cgroup's memory limit leaves") << r.err;
    release(h);
}

// Page cache charged to the cgroup is no obstacle: the kernel gives it back as the run needs
// memory. With the group full of it, a run that fits the limit with 1 MiB to spare renders, and
// one 1 MiB over it is refused, for the limit itself.
TEST_F(Limits, PageCacheInTheCgroupIsNoObstacle)
{
    const std::string why = make_cgroup();
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string text = lines_of_text(300000);
    write_file(dir + "/input", text);
    set_limit(16 << 20);
    run_result r = sh(in_cgroup(tool_at_80), dir + "/input");
    const refusal alone = refusal_of(r.err.substr(0, r.err.find("VmPeak")));
    ASSERT_GT(alone.need, 16 << 20) << r.err;

    // A file of 96 MiB that is in no cache, read from inside the group.
    const std::string cache = dir + "/cache";
    write_file(cache, std::string(96 << 20, 'c'));
    const int fd = open(cache.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fdatasync(fd), 0);
    const std::string stat = group + "/memory.stat";
    const bool v1 = limit_file == "memory.limit_in_bytes";
    for (const long long side : {1 << 20, -(1 << 20)}) {
        const long long limit = alone.need + side;
        ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
        set_limit(1 << 30);
        ASSERT_EQ(
            run_program("/bin/sh", {"-c", in_cgroup("exec cat \"$0\" > /dev/null"), cache}, "")
                .status,
            0);
        set_limit(limit); // the kernel reclaims the cache down to the limit
        const std::vector<std::string> fields =
            v1 ? std::vector<std::string>{"total_active_file", "total_inactive_file"}
               : std::vector<std::string>{"active_file", "inactive_file"};
        long long cached = 0;
        std::istringstream lines(read_file(stat));
        for (std::string name, value; lines >> name >> value;)
            if (name == fields[0] || name == fields[1])
                cached += std::stoll(value);
        if (cached < limit / 2)
            GTEST_SKIP() << "the group holds " << cached << " bytes of page cache, not "
                         << limit / 2 << ": is " << dir << " on a disk file system?";
        r = sh(in_cgroup(tool_at_80), dir + "/input");
        if (side > 0) {
            EXPECT_EQ(r.status, 0) << cached << " bytes of page cache in the group: " << r.err;
        } else {
            EXPECT_EQ(r.status, 1) << r.err;
            EXPECT_EQ(refusal_of(r.err.substr(0, r.err.find("VmPeak"))).name,
                      "the cgroup's memory limit is")
                << r.err;
        }
    }
    close(fd);
}

// What the kernel can still give, MemAvailable and free swap, rather than all that the machine
// has: here from a /proc/meminfo of the test's making, in a mount namespace of the run's own.
TEST_F(Limits, MachineMemoryOnBothSides)
{
    if (sanitized())
        GTEST_SKIP() << "the sanitizers' shadow memory is no part of a real run's";
    if (!root())
        GTEST_SKIP() << "needs root to mount over /proc/meminfo";
    const std::string meminfo = dir + "/meminfo";
    write_file(meminfo, "MemTotal: 1 kB\n");
    const std::string mount = private_proc + "mount --bind \"$3\" /proc/meminfo && ";
    const std::string fake = "grep -q '^MemTotal: 1 kB' /proc/meminfo";
    const run_result can = run_program(
        "/usr/bin/unshare",
        {"-m", "--propagation", "unchanged", "/bin/sh", "-c", mount + fake, "", "", "", meminfo},
        "");
    if (can.status != 0)
        GTEST_SKIP() << "cannot mount over /proc/meminfo in a mount namespace here: " << can.err;
    const std::string text = lines_of_text(300000);
    write_file(dir + "/input", text);
    const auto with = [&](long long total, long long available, long long swap) {
        write_file(meminfo, "MemTotal: " + std::to_string(total / 1024) +
                                " kB\nMemAvailable: " + std::to_string(available / 1024) +
                                " kB\nSwapTotal: " + std::to_string(swap / 1024) +
                                " kB\nSwapFree: " + std::to_string(swap / 1024) + " kB\n");
        const run_result r =
            run_program("/usr/bin/unshare",
                        {"-m", "--propagation", "unchanged", "/bin/sh", "-c", mount + tool_at_80,
                         tool, dir + "/out.png", VOZK_PEAK_REPORT, meminfo},
                        dir + "/input");
        return std::make_pair(r, refusal_of(r.err.substr(0, r.err.find("VmPeak"))));
    };
    const long long tib = 1LL << 40, mib = 1 << 20;
    auto [r, why] = with(tib, 16 * mib, 0);
    ASSERT_EQ(r.status, 1) << "MemAvailable 16 MiB: " << r.err;
    EXPECT_EQ(why.name, "the machine can still give") << r.err;
    // What the kernel can still give, and what the run already holds.
    const long long held = why.limit - 16 * mib;
    EXPECT_GT(held, 0) << r.err;
    const long long more = why.need - held; // what the run must still be given
    const struct {
        const char *what;
        long long total, available, swap;
        const char *refused; // the limit named, or none
        long long limit;
    } cases[] = {
        {"1 MiB more available than needed", tib, more + mib, 0, nullptr, 0},
        {"1 MiB less", tib, more - mib, 0, "the machine can still give", 0},
        {"free swap makes up for it", tib, 16 * mib, more - 15 * mib, nullptr, 0},
        {"less memory in all than needed", 16 * mib, 16 * mib, 0, "the machine has", 16 * mib},
    };
    for (const auto &c : cases) {
        std::tie(r, why) = with(c.total, c.available, c.swap);
        EXPECT_EQ(r.status, c.refused ? 1 : 0) << c.what << ": " << r.err;
        if (c.refused) {
            EXPECT_EQ(why.name, c.refused) << c.what << ": " << r.err;
        }
        if (c.limit) {
            EXPECT_EQ(why.limit, c.limit) << c.what << ": " << r.err;
        }
    }
}

} // namespace
