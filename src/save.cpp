#include "save.h"

#include "check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <string>

namespace
{

unsigned read_proc(void *buf, unsigned size, unsigned count, fi_handle f)
{
    return static_cast<unsigned>(std::fread(buf, size, count, static_cast<std::FILE *>(f)));
}

unsigned write_proc(void *buf, unsigned size, unsigned count, fi_handle f)
{
    return static_cast<unsigned>(std::fwrite(buf, size, count, static_cast<std::FILE *>(f)));
}

int seek_proc(fi_handle f, long offset, int origin)
{
    return std::fseek(static_cast<std::FILE *>(f), offset, origin);
}

long tell_proc(fi_handle f)
{
    return std::ftell(static_cast<std::FILE *>(f));
}

// Encodes into f and pushes the bytes out of the stream (and to the disk when sync is set).
// On failure errno or errorlevel is set.
bool encode(FIBITMAP *bitmap, std::FILE *f, bool sync)
{
    FreeImageIO io = {read_proc, write_proc, seek_proc, tell_proc};
    const BOOL ok = FreeImage_SaveToHandle(FIF_PNG, bitmap, &io, f, 0);
    if (errorlevel != 0)
        return false;
    if (!ok) {
        // A write failure shows in errno; otherwise the encoder gave up without a word.
        if (errno == 0)
            errno = EIO;
        return false;
    }
    return std::fflush(f) == 0 && (!sync || fsync(fileno(f)) == 0);
}

// Writes path in place, truncating whatever was there.
void write_direct(FIBITMAP *bitmap, const char *path)
{
    std::FILE *f = std::fopen(path, "wb");
    if (!f)
        return;
    const bool ok = encode(bitmap, f, false);
    const int err = errno;
    const bool closed = std::fclose(f) == 0;
    if (!ok)
        errno = err;
    else if (closed)
        errno = 0;
}

// The path that opening path would write: symbolic links followed, even a dangling last one.
std::string resolve(const char *path)
{
    std::string p = path;
    struct stat st;
    for (int hops = 0; hops < 40 && lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode); hops++) {
        char target[PATH_MAX];
        const ssize_t len = readlink(p.c_str(), target, sizeof target);
        if (len <= 0 || len == sizeof target)
            break;
        const std::string t(target, static_cast<size_t>(len));
        const size_t slash = p.rfind('/');
        p = t[0] == '/' || slash == std::string::npos ? t : p.substr(0, slash + 1) + t;
    }
    return p;
}

std::string directory_of(const std::string &p)
{
    const size_t slash = p.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : p.substr(0, slash);
}

} // namespace

void save_png(FIBITMAP *bitmap, const char *path)
{
    if (*path == '\0') {
        errno = ENOENT; // what open would say, without the encoding work first
        return;
    }
    struct stat st;
    const bool found = stat(path, &st) == 0;
    if (!found && errno != ENOENT)
        return; // a loop of links, a path through a file, no permission to look
    errno = 0;

    // Devices, FIFOs and pipes (/dev/stdout) cannot be replaced, only written; a directory fails
    // here, as it should.
    if (found && !S_ISREG(st.st_mode)) {
        write_direct(bitmap, path);
        return;
    }

    const std::string target = resolve(path);
    errno = 0; // what the look-ups met is no failure of the save
    std::string temp = directory_of(target) + "/.vozk-render-XXXXXX";
    const int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) {
        // Nowhere to build the new file; an existing one can still be written in place.
        if (found) {
            errno = 0;
            write_direct(bitmap, path);
        }
        return;
    }

    // The mode a plain create would give, or the replaced file's own; its owner too, if we may.
    mode_t mode = 0;
    if (found) {
        mode = st.st_mode & 07777;
        if (fchown(fd, st.st_uid, st.st_gid) != 0)
            errno = 0;
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }

    std::FILE *f = fchmod(fd, mode) == 0 ? fdopen(fd, "wb") : nullptr;
    bool ok = f && encode(bitmap, f, true);
    int err = errno;
    if (f ? std::fclose(f) != 0 : close(fd) != 0) {
        if (ok)
            err = errno;
        ok = false;
    }
    if (ok && std::rename(temp.c_str(), target.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok)
        unlink(temp.c_str());
    errno = ok ? 0 : err;
}
