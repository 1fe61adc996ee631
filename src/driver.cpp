#include "driver.h"

#include "render.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace
{

// Makes room in *buf for need bytes, doubling it where the memory limits allow that together with
// the bitmap of height pixel rows, and growing it no further than they allow otherwise. Returns
// the limit that even need bytes would exceed, if one would; a failing realloc leaves errno set
// and *cap below need.
memory_limit grow(unsigned char **buf, std::size_t *cap, std::size_t need, std::size_t most,
                  std::int64_t width, std::int64_t height)
{
    // From 1 MiB, so that most texts take one look at the limits; pages that are never written
    // cost no memory, and the buffer gives back what it does not use.
    std::size_t size = std::min(std::max({std::size_t{1} << 20, 2 * *cap, need}), most);
    const auto check = [&] {
        return check_memory(width, height, static_cast<std::int64_t>(size - *cap));
    };
    memory_limit over = check();
    // Short of the limit that was exceeded, then of the next one, if another is exceeded still.
    while (over.name && size > need) {
        const auto excess = static_cast<std::size_t>(over.need - over.limit);
        size = excess < size - need ? size - excess : need;
        over = check();
    }
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
    // Out of range, strtol gives LONG_MAX or LONG_MIN and ERANGE; both narrow to a count that
    // is refused, so the ERANGE would only be a stale errno for the next check to trip on.
    const int saved = errno;
    const long v = std::strtol(arg, nullptr, 10);
    errno = saved;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
}

text_read read_input(int fd, std::int32_t columns, unsigned char **buf, std::size_t *cap,
                     std::int64_t most)
{
    static unsigned char piece[1 << 16];
    const std::int64_t width = std::int64_t{columns} * 4;
    const auto too_tall = [&](const line_tally &t) {
        return 6 * tallied_lines(t, columns) > max_side;
    };
    line_tally t;
    text_read r = {-1, 1, 0, {0, 0, nullptr}};
    bool keep = width <= max_side;
    std::size_t kept = 0;
    while (t.n < most) {
        const ssize_t got = read(fd, piece, std::min<std::int64_t>(sizeof piece, most - t.n));
        if (got < 0 && errno == EINTR) {
            errno = 0;
            continue;
        }
        if (got < 0)
            return r;
        if (got == 0)
            break;
        const line_tally before = t;
        tally_lines(t, piece, got, columns);
        if (too_tall(t)) {
            // Stop at the very byte that made it so, wherever the piece happened to end: the
            // height to report is the one that the text up to there needs.
            t = before;
            for (ssize_t i = 0; !too_tall(t); i++)
                tally_lines(t, piece + i, 1, columns);
            return {t.n, tallied_lines(t, columns), static_cast<std::int64_t>(kept), r.over};
        }
        if (!keep)
            continue;
        std::size_t take = static_cast<std::size_t>(got);
        if (kept + take > *cap) {
            r.over = grow(buf, cap, kept + take, static_cast<std::size_t>(most), width,
                          6 * tallied_lines(t, columns));
            if (r.over.name) {
                keep = false;
                take = *cap - kept; // what fits, so that only the bytes left out are counted
            } else if (kept + take > *cap) {
                return r; // realloc failed and said why
            }
        }
        if (take > 0)
            std::memcpy(*buf + kept, piece, take);
        kept += take;
    }
    r.n = t.n > 0 ? t.n : -1;
    r.lines = tallied_lines(t, columns);
    r.kept = static_cast<std::int64_t>(kept);
    if (keep && kept > 0 && kept < *cap) {
        // The room that doubling left beyond the text is the bitmap's now. Shrinking in place
        // cannot fail for want of memory; if it fails all the same, the buffer stays as it was.
        const int saved = errno;
        if (void *fitted = std::realloc(*buf, kept)) {
            *buf = static_cast<unsigned char *>(fitted);
            *cap = kept;
        }
        errno = saved;
    }
    // Once the text is all in, what it needs in memory is known: the bytes left out and the
    // bitmap of all its lines.
    if (r.over.name && t.n < most) {
        const memory_limit whole = check_memory(width, 6 * r.lines, t.n - r.kept);
        if (whole.name)
            r.over = whole;
    }
    return r;
}
