#include "driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

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
    // Out of range, strtol gives LONG_MAX or LONG_MIN and ERANGE; both narrow to a count that
    // is refused, so the ERANGE would only be a stale errno for the next check to trip on.
    const int saved = errno;
    const long v = std::strtol(arg, nullptr, 10);
    errno = saved;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
}

std::int64_t read_input(int fd, unsigned char **buf, std::size_t *cap, std::int64_t most)
{
    std::int64_t n = 0;
    while (n < most) {
        if (static_cast<std::size_t>(n) == *cap) {
            const std::size_t want = std::max<std::size_t>(std::size_t{1} << 16, *cap * 2);
            const std::size_t size = std::min(want, static_cast<std::size_t>(most));
            void *grown = std::realloc(*buf, size);
            if (!grown)
                return -1;
            *buf = static_cast<unsigned char *>(grown);
            *cap = size;
        }
        const ssize_t got = read(fd, *buf + n, *cap - static_cast<std::size_t>(n));
        if (got < 0 && errno == EINTR) {
            errno = 0;
            continue;
        }
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        n += got;
    }
    return n > 0 ? n : -1;
}
