#include "driver.h"

#include "render.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace
{

// Makes room for more text in *buf, doubling it from 1 MiB (pages never written cost no memory),
// if the memory limits allow that together with the bitmap of width x height pixels, and returns
// the limit they would exceed, if one would; a failing realloc leaves errno set and *cap as it
// was. The first 1 MiB is left to the check before the bitmap is made, after the checks of the
// text's length and the picture's size, whose messages come first.
memory_limit grow(unsigned char **buf, std::size_t *cap, std::size_t most, std::int64_t width,
                  std::int64_t height)
{
    const std::size_t size = std::min(std::max(std::size_t{1} << 20, 2 * *cap), most);
    const memory_limit over =
        *cap == 0 ? memory_limit{0, 0, nullptr}
                  : check_memory(width, height, static_cast<std::int64_t>(size - *cap));
    if (over.name)
        return over;
    if (void *grown = std::realloc(*buf, size)) {
        *buf = static_cast<unsigned char *>(grown);
        *cap = size;
    }
    return over;
}

} // namespace

int fill_std_streams()
{
    const int saved = errno;
    int closed = 0;
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0)
            continue;
        closed |= 1 << fd;
        // The lowest free number is fd itself, as the ones below it are open by now. Without
        // /dev/null (a bare chroot), the root directory holds the place: it can be neither
        // read nor written, just as a closed stream.
        if (open("/dev/null", O_RDWR | O_NOCTTY) < 0)
            open("/", O_PATH);
    }
    errno = saved;
    return closed;
}

void usage(std::FILE *stream, const char *prog)
{
    std::fprintf(stream,
                 "USAGE : %s columns output-file, where \"columns\" is a positive integer and "
                 "\"output-file\" is the name of the file to which to save the image\n",
                 prog);
}

std::int32_t parse_columns(const char *arg)
{
    // Out of range, strtol gives LONG_MAX or LONG_MIN. Narrowed, a 64-bit long's are -1 and 0,
    // which are refused; a 32-bit long's LONG_MAX stays 2147483647, a count that goes on to the
    // picture's checks. The ERANGE that strtol sets is no failure of the run: left in errno, it
    // would be reported by the next check, against the wrong step.
    const int saved = errno;
    const long v = std::strtol(arg, nullptr, 10);
    errno = saved;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
}

text_read read_input(int fd, std::int32_t columns, unsigned char **buf, std::size_t *cap,
                     std::int64_t most)
{
    const bool keep = std::int64_t{columns} * 4 <= max_side;
    const std::int64_t width = keep ? std::int64_t{columns} * 4 : 0; // of the bitmap to be made
    line_tally t;
    text_read r = {-1, 1, {0, 0, nullptr}};
    while (t.n < most) {
        const std::size_t at = keep ? static_cast<std::size_t>(t.n) : 0;
        if (at == *cap) {
            r.over = grow(buf, cap, static_cast<std::size_t>(most), width,
                          6 * tallied_lines(t, columns));
            if (r.over.name)
                break;
            if (at == *cap)
                return r; // realloc failed, and said why
        }
        // No handler is installed while the text is read, so no signal interrupts a read.
        const ssize_t got = read(fd, *buf + at, std::min<std::int64_t>(*cap - at, most - t.n));
        if (got < 0)
            return r;
        if (got == 0)
            break;
        const line_tally before = t;
        tally_lines(t, *buf + at, got, columns);
        if (6 * tallied_lines(t, columns) > max_side) {
            // Stop at the very byte that made it so, wherever the read ended: the height to
            // report is the one that the text up to there needs.
            t = before;
            for (ssize_t i = 0; 6 * tallied_lines(t, columns) <= max_side; i++)
                tally_lines(t, *buf + at + i, 1, columns);
            break;
        }
    }
    r.n = t.n > 0 ? t.n : -1;
    r.lines = tallied_lines(t, columns);
    return r;
}
