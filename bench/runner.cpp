// Times whole processes on generated English-like text at 80 columns: vozk-render against its two
// floors (bench/floor.cpp), the design floor (one library call per ink pixel and nothing else)
// and the lean floor (the ink written straight into the scan lines), in rounds that rotate the
// order, after a warm-up run of each whose pictures must be pixel-identical. With --peers it also
// times what a user might reach for instead. Prints per size the median wall time of each, the
// medians of the per-round ratios tool/design and tool/lean, the peak resident memory, the bitmap
// size, and what the tool spends beyond the lean floor per library call (one per ink pixel).
//
//   runner --tool PATH --floor PATH [--rounds N] [--sizes N,N,...] [--peers] [--no-limit]
//          [--dir DIR]
//   runner --save-text N FILE     writes N bytes of the text to FILE, for a profile
//
// Exits 1 when the pictures disagree or the tallest text fails to render.
#include "driver.h"
#include "memory.h"
#include "render.h"
#include "text.h"

#include "font/vozk.h"

#include <FreeImage.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{

const int columns = 80;
const std::string cols = std::to_string(columns);

struct sample {
    double seconds = 0;
    double rss_mib = 0; // peak resident set of the process and the children it waited for
    int status = -1;
    std::string err; // first line of standard error
};

// Runs argv with standard input from in and standard output discarded.
sample time_run(const std::vector<std::string> &argv, const std::string &in, const std::string &dir)
{
    const std::string errfile = dir + "/stderr";
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::fflush(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(in.c_str(), O_RDONLY), 0);
        dup2(open("/dev/null", O_WRONLY), 1);
        dup2(open(errfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    sample s;
    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.rss_mib = ru.ru_maxrss / 1024.0;
    s.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::ifstream f(errfile);
    std::getline(f, s.err);
    return s;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t h = v.size() / 2;
    return v.size() % 2 ? v[h] : (v[h - 1] + v[h]) / 2;
}

// Both files decode to the same 24-bit pixels.
bool same_pixels(const std::string &a, const std::string &b)
{
    FIBITMAP *x = FreeImage_Load(FIF_PNG, a.c_str(), 0);
    FIBITMAP *y = FreeImage_Load(FIF_PNG, b.c_str(), 0);
    bool same = x && y && FreeImage_GetWidth(x) == FreeImage_GetWidth(y) &&
                FreeImage_GetHeight(x) == FreeImage_GetHeight(y) && FreeImage_GetBPP(x) == 24 &&
                FreeImage_GetBPP(y) == 24;
    for (unsigned row = 0; same && row < FreeImage_GetHeight(x); row++)
        same = std::memcmp(FreeImage_GetScanLine(x, row), FreeImage_GetScanLine(y, row),
                           3 * FreeImage_GetWidth(x)) == 0;
    FreeImage_Unload(x);
    FreeImage_Unload(y);
    return same;
}

unsigned png_height(const std::string &path)
{
    FIBITMAP *bm = FreeImage_Load(FIF_PNG, path.c_str(), FIF_LOAD_NOPIXELS);
    const unsigned h = bm ? FreeImage_GetHeight(bm) : 0;
    FreeImage_Unload(bm);
    return h;
}

long lines_of(const std::string &text)
{
    return count_lines(reinterpret_cast<const unsigned char *>(text.data()),
                       static_cast<std::int64_t>(text.size()), columns);
}

// Library calls the tool makes for text: one per ink pixel.
long long ink_pixels(const std::string &text)
{
    long long ink = 0;
    for (unsigned char ch : text)
        if (ch != '\n')
            for (unsigned char px : vozk[ch])
                ink += px != 0;
    return ink;
}

struct peer {
    const char *name;
    std::string command; // for sh -c, with the output file as $1
};

std::vector<peer> install_peers()
{
    const std::string src = VOZK_SOURCE_DIR;
    if (std::system(("sh " + src + "/tools/setup-deps netpbm python3-pil").c_str()) != 0)
        std::fprintf(stderr, "runner: could not install the peers\n");
    return {
        {"netpbm: fold | pbmtext | pnmtopng",
         "fold -b -w " + cols + " | pbmtext -builtin fixed | pnmtopng > \"$1\""},
        {"Pillow script", "/usr/bin/python3 " + src + "/bench/pillow_peer.py " + cols + " \"$1\""},
    };
}

void time_peer(const peer &o, const std::string &in, const std::string &dir, int runs,
               double tool_seconds)
{
    std::vector<double> times;
    double rss = 0;
    sample s;
    for (int r = 0; r < runs; r++) {
        s = time_run({"timeout", "900", "sh", "-c", o.command, "sh", dir + "/peer.png"}, in, dir);
        if (s.status != 0)
            break;
        times.push_back(s.seconds);
        rss = std::max(rss, s.rss_mib);
    }
    if (s.status == 124)
        std::printf("%12s%s: cannot handle it, no picture after 900 s\n", "", o.name);
    else if (s.status != 0)
        std::printf("%12s%s: cannot handle it, exit %d: %s\n", "", o.name, s.status, s.err.c_str());
    else
        std::printf("%12s%s: %.3f s (%.2f x tool), %.1f MiB\n", "", o.name, median(times),
                    median(times) / tool_seconds, rss);
}

} // namespace

int main(int argc, char **argv)
{
    std::string tool, floor, dir = "/tmp";
    std::vector<std::size_t> sizes = {100000, 1000000, 8000000};
    int rounds = 5;
    bool peers = false;
    bool limit_run = true;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : "0";
        if (a == "--tool")
            tool = v, i++;
        else if (a == "--floor")
            floor = v, i++;
        else if (a == "--dir")
            dir = v, i++;
        else if (a == "--rounds")
            rounds = std::max(1, std::atoi(v)), i++;
        else if (a == "--peers")
            peers = true;
        else if (a == "--no-limit")
            limit_run = false;
        else if (a == "--save-text" && i + 2 < argc) {
            std::ofstream(argv[i + 2], std::ios::binary) << english_text(std::stoul(v));
            return 0;
        } else if (a == "--sizes") {
            sizes.clear();
            std::stringstream list(v);
            for (std::string item; std::getline(list, item, ',');)
                sizes.push_back(std::stoul(item));
            i++;
        } else {
            std::fprintf(stderr, "runner: unknown argument %s\n", a.c_str());
            return 2;
        }
    }
    if (tool.empty() || floor.empty()) {
        std::fprintf(stderr, "usage: runner --tool PATH --floor PATH [--rounds N] [--sizes N,...] "
                             "[--peers] [--no-limit] [--dir DIR]\n");
        return 2;
    }
    dir += "/vozk-bench-XXXXXX";
    if (!mkdtemp(&dir[0])) {
        std::perror("runner: work directory");
        return 2;
    }
    FreeImage_Initialise(FALSE);
    const std::string in = dir + "/text";
    const std::vector<peer> others = peers ? install_peers() : std::vector<peer>();
    // The tool and its two floors, each with a picture of its own.
    const std::vector<std::vector<std::string>> runs = {
        {tool, cols, dir + "/tool.png"},
        {floor, "--design", cols, dir + "/design.png"},
        {floor, cols, dir + "/lean.png"},
    };

    std::printf("%d columns, %d rounds a size after a warm-up run of each; wall seconds\n", columns,
                rounds);
    std::printf("%10s %7s %12s %8s %8s %8s %11s %9s %9s %9s %8s\n", "input B", "lines", "bitmap B",
                "tool s", "design s", "lean s", "tool/design", "tool/lean", "tool MiB", "lean MiB",
                "ns/call");
    std::vector<std::string> verdicts;
    int failures = 0;
    for (const std::size_t size : sizes) {
        const std::string text = english_text(size);
        std::ofstream(in, std::ios::binary) << text;
        std::string disagree;
        for (const auto &run : runs) {
            const sample warm = time_run(run, in, dir);
            if (warm.status != 0 || !same_pixels(runs[0].back(), run.back()))
                disagree +=
                    " " + run.back() + " (" + std::to_string(warm.status) + ": " + warm.err + ")";
        }
        if (!disagree.empty()) {
            std::printf("%10zu: the tool and its floors disagree:%s; not timed\n", size,
                        disagree.c_str());
            failures++;
            continue;
        }
        std::vector<double> secs[3], to_design, to_lean;
        double rss[3] = {0, 0, 0};
        for (int p = 0; p < rounds; p++) {
            // Each round starts with the next one, so that a drift of the machine hits all alike.
            sample got[3];
            for (int k = 0; k < 3; k++) {
                const int which = (p + k) % 3;
                got[which] = time_run(runs[which], in, dir);
            }
            for (int k = 0; k < 3; k++) {
                secs[k].push_back(got[k].seconds);
                rss[k] = std::max(rss[k], got[k].rss_mib);
            }
            to_design.push_back(got[0].seconds / got[1].seconds);
            to_lean.push_back(got[0].seconds / got[2].seconds);
        }
        const long lines = lines_of(text);
        const double design_ratio = median(to_design);
        const double per_call = (median(secs[0]) - median(secs[2])) / ink_pixels(text) * 1e9;
        std::printf("%10zu %7ld %12lld %8.3f %8.3f %8.3f %11.4f %9.4f %9.1f %9.1f %8.1f\n", size,
                    lines, static_cast<long long>(bitmap_bytes(4 * columns, 6 * lines)),
                    median(secs[0]), median(secs[1]), median(secs[2]), design_ratio,
                    median(to_lean), rss[0], rss[2], per_call);
        for (const peer &o : others)
            time_peer(o, in, dir, std::min(rounds, 3), median(secs[0]));
        const double allowed = rss[2] + 1.1 * static_cast<double>(size) / 1048576 + 8;
        verdicts.push_back(std::to_string(size) + " B: tool/design " +
                           (design_ratio <= 1.05 ? "within" : "over") + " 1.05; memory " +
                           (rss[0] <= allowed ? "within" : "over") +
                           " the lean floor's + 1.1 x input + 8 MiB");
    }
    for (const std::string &v : verdicts)
        std::printf("%s\n", v.c_str());

    // The tallest picture a PNG may hold at 80 columns: 166,666 text lines.
    if (limit_run) {
        const std::string limit = first_lines(english_text(10000000), columns, 166666);
        std::ofstream(in, std::ios::binary) << limit;
        const sample s = time_run(runs[0], in, dir);
        std::printf("tallest text, %zu B in %ld lines: %s in %.3f s, picture %u pixels tall\n",
                    limit.size(), lines_of(limit), s.status == 0 ? "rendered" : "FAILED", s.seconds,
                    s.status == 0 ? png_height(runs[0].back()) : 0);
        failures += s.status != 0;
    }

    for (const char *name :
         {"/tool.png", "/design.png", "/lean.png", "/peer.png", "/text", "/stderr"})
        std::remove((dir + name).c_str());
    rmdir(dir.c_str());
    FreeImage_DeInitialise();
    return failures ? 1 : 0;
}
