// Pieces of the command-line driver that are worth testing on their own.
#pragma once

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

// The column count: strtol in base 10, narrowed to its low 32 bits. Leaves errno as it was.
std::int32_t parse_columns(const char *arg);

// Reads fd to end of file, or until most bytes are in, into *buf (grown geometrically with
// realloc; *cap is its size). Returns the byte count, or -1 when end of file comes before any
// byte or a read fails; errno is non-zero only in the latter case.
std::int64_t read_input(int fd, unsigned char **buf, std::size_t *cap, std::int64_t most);
