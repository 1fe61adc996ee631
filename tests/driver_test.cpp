// The command-line pieces: usage text, the column count, reading standard input.
#include "driver.h"
#include "support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>
#include <string>

namespace
{

TEST(Usage, NamesTheProgram)
{
    char *text = nullptr;
    size_t size = 0;
    std::FILE *mem = open_memstream(&text, &size);
    usage(mem, "./vr");
    std::fclose(mem);
    EXPECT_EQ(std::string(text, size),
              "USAGE : ./vr columns output-file, where \"columns\" is a positive integer and "
              "\"output-file\" is the name of the file to which to save the image\n");
    std::free(text);
}

TEST(ParseColumns, StrtolThenLow32Bits)
{
    const struct {
        const char *arg;
        std::int32_t columns;
    } cases[] = {
        {"7", 7},
        {" 7", 7},
        {"+7", 7},
        {"7x", 7},
        {"0x10", 0},
        {"word", 0},
        {"", 0},
        {"-4", -4},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MIN},
        {"4294967296", 0},
        {"4294967297", 1},
        {"99999999999999999999", -1}, // out of range: LONG_MAX, low bits all ones
        {"-99999999999999999999", 0}, // LONG_MIN
    };
    for (const auto &c : cases) {
        errno = 0;
        EXPECT_EQ(parse_columns(c.arg), c.columns) << '"' << c.arg << '"';
        EXPECT_EQ(errno, 0) << '"' << c.arg << "\" left errno set";
    }
}

// Reads the file holding bytes through read_input, with the given cap.
std::string read_back(const std::string &bytes, std::int64_t most, std::int64_t *n, int *err)
{
    const std::string dir = temp_dir();
    const std::string path = dir + "/in";
    write_file(path, bytes);
    const int fd = open(path.c_str(), O_RDONLY);
    unsigned char *buf = nullptr;
    size_t cap = 0;
    errno = 0;
    *n = read_input(fd, &buf, &cap, most);
    *err = errno;
    close(fd);
    unlink(path.c_str());
    rmdir(dir.c_str());
    std::string got = *n > 0 ? std::string(reinterpret_cast<char *>(buf), *n) : "";
    std::free(buf);
    return got;
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
        std::int64_t n = 0;
        int err = 0;
        EXPECT_EQ(read_back(bytes, max_input, &n, &err), bytes);
        EXPECT_EQ(n, static_cast<std::int64_t>(bytes.size()));
        EXPECT_EQ(err, 0);
    }
}

TEST(ReadInput, EmptyIsMinusOneWithoutError)
{
    std::int64_t n = 0;
    int err = 0;
    read_back("", max_input, &n, &err);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(err, 0);
}

TEST(ReadInput, StopsAtTheCap)
{
    for (std::int64_t most : {1, 5, 70000}) {
        std::int64_t n = 0;
        int err = 0;
        const std::string bytes(100000, 'q');
        EXPECT_EQ(read_back(bytes, most, &n, &err), bytes.substr(0, most));
        EXPECT_EQ(n, most);
    }
}

TEST(ReadInput, FailuresLeaveErrno)
{
    unsigned char *buf = nullptr;
    size_t cap = 0;
    const int dir = open("/", O_RDONLY | O_DIRECTORY);
    errno = 0;
    EXPECT_EQ(read_input(dir, &buf, &cap, max_input), -1);
    EXPECT_EQ(errno, EISDIR);
    close(dir);
    errno = 0;
    EXPECT_EQ(read_input(dir, &buf, &cap, max_input), -1); // closed now
    EXPECT_EQ(errno, EBADF);
    std::free(buf);
}

} // namespace
