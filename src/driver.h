// The command line's own steps around the picture: the standard streams, the usage text, the
// column count, and reading the text within what a PNG, memory and 32-bit positions allow.
#pragma once

#include "memory.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

// libpng refuses to write a picture wider or taller than this.
constexpr std::int64_t max_side = 1000000;

// Byte counts and positions in the text are 32-bit, so the input must stay below this.
constexpr std::int64_t max_input = std::int64_t{1} << 31;

// Puts /dev/null in place of each of standard input, output and error that is closed, so that
// no file opened later takes its number. Returns which were closed, as bit (1 << fd).
int fill_std_streams();

// Writes the one-line usage text, naming the program as prog.
void usage(std::FILE *stream, const char *prog);

// The column count: strtol in base 10, narrowed to its low 32 bits. Out of long's range, that is
// LONG_MAX or LONG_MIN narrowed: -1 or 0 with a 64-bit long, 2147483647 or -2147483648 with a
// 32-bit one. Leaves errno as it was.
std::int32_t parse_columns(const char *arg);

// What reading the text found: n, the bytes read, or -1 when end of file came before any byte or
// a read or the buffer's growth failed (errno is non-zero only then); lines, the text lines that
// they need (count_lines of them); and over, with a name when the memory limits refused more room.
struct text_read {
    std::int64_t n;
    std::int64_t lines;
    memory_limit over;
};

// Reads fd into *buf (grown with realloc; *cap is its size) until end of file, until most bytes
// are in, until the text needs more lines than a picture max_side pixels tall holds (from that
// byte on it can only be refused), or until the memory limits could not hold a larger buffer
// beside the bitmap of the lines so far. A picture wider than max_side can only be refused, so
// then the bytes are only counted, one buffer's worth at a time.
text_read read_input(int fd, std::int32_t columns, unsigned char **buf, std::size_t *cap,
                     std::int64_t most);
