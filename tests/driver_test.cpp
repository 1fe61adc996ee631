// The command-line pieces: usage text, the column count, reading standard input.
#include "driver.h"
#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <random>
#include <string>

namespace
{

// What read_input keeps and says of the bytes in a file or coming down a pipe.
struct read_back {
    text_read r;
    std::string kept; // the text in the buffer, when the picture is not too wide to be made
    size_t cap;
    int err;
};

read_back read_from(int fd, std::int32_t columns, std::int64_t most)
{
    unsigned char *buf = nullptr;
    size_t cap = 0;
    errno = 0;
    read_back b = {read_input(fd, columns, &buf, &cap, most), "", 0, 0};
    b.err = errno;
    b.cap = cap;
    if (buf && 4LL * columns <= max_side && b.r.n > 0)
        b.kept.assign(reinterpret_cast<char *>(buf), static_cast<size_t>(b.r.n));
    std::free(buf);
    return b;
}

// Reads bytes from a file, or from a pipe that a child fills in pieces of the given size.
read_back read_bytes(const std::string &bytes, std::int32_t columns, std::int64_t most,
                     size_t piece = 0)
{
    if (piece == 0) {
        const std::string dir = temp_dir();
        const std::string path = dir + "/in";
        write_file(path, bytes);
        const int fd = open(path.c_str(), O_RDONLY);
        const read_back b = read_from(fd, columns, most);
        close(fd);
        unlink(path.c_str());
        rmdir(dir.c_str());
        return b;
    }
    int p[2];
    if (pipe(p) != 0)
        return {{-1, 0, {0, 0, nullptr}}, "", 0, errno};
    std::fflush(nullptr);
    const pid_t writer = fork();
    if (writer == 0) {
        close(p[0]);
        for (size_t at = 0; at < bytes.size(); at += piece)
            if (write(p[1], bytes.data() + at, std::min(piece, bytes.size() - at)) < 0)
                _exit(0); // the reader stopped early
        _exit(0);
    }
    close(p[1]);
    const read_back b = read_from(p[0], columns, most);
    close(p[0]);
    wait_for(writer, 60);
    return b;
}

TEST(ReadInput, TakesEveryByteValue)
{
    std::mt19937 rng(3);
    std::string big(5 << 20, '\0'); // several growth steps
    for (char &c : big)
        c = static_cast<char>(rng());
    std::string all;
    for (int b = 0; b < 256; b++)
        all += static_cast<char>(b);
    for (const std::string &bytes : {all, std::string("\0\0", 2), big}) {
        const read_back b = read_bytes(bytes, 80, max_input);
        EXPECT_TRUE(b.kept == bytes);
        EXPECT_EQ(b.r.n, static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(b.r.lines, model_lines(bytes, 80));
        EXPECT_EQ(b.r.over.name, nullptr);
        EXPECT_EQ(b.err, 0);
    }
}

TEST(ReadInput, EmptyIsMinusOneWithoutError)
{
    const read_back b = read_bytes("", 80, max_input);
    EXPECT_EQ(b.r.n, -1);
    EXPECT_EQ(b.err, 0);
}

TEST(ReadInput, StopsAtTheCap)
{
    for (std::int64_t most : {1, 5, 70000}) {
        const std::string bytes(100000, 'q');
        const read_back b = read_bytes(bytes, 3, most);
        EXPECT_TRUE(b.kept == bytes.substr(0, most));
        EXPECT_EQ(b.r.n, most);
        EXPECT_EQ(b.r.lines, model_lines(bytes.substr(0, most), 3));
    }
}

// The text stops at the first byte after which the picture is taller than a PNG may be, wherever
// the pieces that a pipe delivers happen to end; the line count is that of the text up to there.
TEST(ReadInput, StopsAtTheByteThatMakesThePictureTooTall)
{
    std::string lines_of_two;
    for (int k = 0; k < 200000; k++)
        lines_of_two += "AB\n"; // at 2 columns the newline after a full line adds 2 lines at once
    const struct {
        std::string text;
        int columns;
    } cases[] = {
        {std::string(1000000, 'x'), 1},
        {'\n' + std::string(1000000, 'x'), 1},
        {std::string(1000000, '\n'), 80},
        {lines_of_two, 2},
        {lines_of_two, 3},
        {std::string(20000000, 'y'), 100},
    };
    for (const auto &c : cases)
        for (const size_t piece : {size_t{0}, size_t{1000}, size_t{65537}}) {
            const read_back b = read_bytes(c.text, c.columns, max_input, piece);
            const std::string what = std::to_string(c.text.size()) + " bytes at " +
                                     std::to_string(c.columns) + ", pieces of " +
                                     std::to_string(piece);
            ASSERT_GT(b.r.n, 1) << what;
            const std::string read = c.text.substr(0, b.r.n);
            EXPECT_EQ(b.r.lines, model_lines(read, c.columns)) << what;
            EXPECT_GT(6 * b.r.lines, max_side) << what;
            EXPECT_LE(6 * model_lines(read.substr(0, read.size() - 1), c.columns), max_side)
                << what << ": read on after the picture was already too tall";
            EXPECT_TRUE(b.kept == read) << what << ": kept other bytes";
        }
}

// A picture wider than a PNG may be is refused whatever the text, so no more of it is held than
// one buffer's worth; it is still counted to the end, for the message.
TEST(ReadInput, HoldsOneBufferForAPictureTooWide)
{
    const std::string text = std::string(3000000, 'w') + "\n\nend";
    const read_back b = read_bytes(text, 250001, max_input, 4096);
    EXPECT_EQ(b.r.n, static_cast<std::int64_t>(text.size()));
    EXPECT_EQ(b.r.lines, model_lines(text, 250001));
    EXPECT_LE(b.cap, size_t{1} << 20);
}

TEST(ReadInput, FailuresLeaveErrno)
{
    unsigned char *buf = nullptr;
    size_t cap = 0;
    const int dir = open("/", O_RDONLY | O_DIRECTORY);
    errno = 0;
    EXPECT_EQ(read_input(dir, 80, &buf, &cap, max_input).n, -1);
    EXPECT_EQ(errno, EISDIR);
    close(dir);
    errno = 0;
    EXPECT_EQ(read_input(dir, 80, &buf, &cap, max_input).n, -1); // closed now
    EXPECT_EQ(errno, EBADF);
    std::free(buf);
}

} // namespace
