#include "save.h"

#include "check.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace
{

// The encoder writes through a stdio stream over one of our descriptors.
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

// The temporary file, which must not outlive a failed or interrupted save. The signal handler
// reads its name, so it changes only while the signals are held.
char temp_path[PATH_MAX + 32];
volatile sig_atomic_t armed = 0;

// What ends a run from outside and can be caught: hang-up, Ctrl-C, kill, a file size limit.
const int fatal[] = {SIGHUP, SIGINT, SIGTERM, SIGXFSZ};

extern "C" void on_fatal(int sig)
{
    // Async-signal-safe calls only. The action is back to the default (SA_RESETHAND), so raising
    // the signal again ends the process by it, and a shell sees the usual status.
    if (armed)
        unlink(temp_path);
    raise(sig);
}

void catch_fatal()
{
    for (const int sig : fatal) {
        struct sigaction was;
        // An ignored signal (nohup, a background job) stays ignored: it ends nothing.
        if (sigaction(sig, nullptr, &was) != 0 || was.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa = {};
        sa.sa_handler = on_fatal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND | SA_NODEFER;
        sigaction(sig, &sa, nullptr);
    }
}

// Holds the fatal signals back around a step that must not be cut in half; release lets them in.
sigset_t hold()
{
    sigset_t set, was;
    sigemptyset(&set);
    for (const int sig : fatal)
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &was);
    return was;
}

void release(const sigset_t &was)
{
    sigprocmask(SIG_SETMASK, &was, nullptr);
}

// Makes the temporary file beside the output, armed from the moment it exists.
int make_temp(const std::string &dir)
{
    const std::string name = dir + "/.vozk-render-XXXXXX";
    if (name.size() >= sizeof temp_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const sigset_t was = hold();
    std::memcpy(temp_path, name.c_str(), name.size() + 1);
    const int fd = mkostemp(temp_path, O_CLOEXEC);
    armed = fd >= 0;
    release(was);
    return fd;
}

// Removes the temporary file (unless it was renamed into place) and disarms; keeps errno.
void disarm(bool remove)
{
    const int err = errno;
    const sigset_t was = hold();
    if (remove && armed)
        unlink(temp_path);
    armed = 0;
    release(was);
    errno = err;
}

// Closes fd; a failing close fails a save that had gone well, and otherwise keeps its errno.
bool close_ok(int fd, bool ok)
{
    const int err = errno;
    if (close(fd) != 0 && ok)
        return false;
    errno = err;
    return ok;
}

// Encodes the picture as PNG into fd, from its offset, and flushes it there. On failure errno or
// errorlevel says why.
bool encode(FIBITMAP *bitmap, int fd)
{
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    std::FILE *f = copy < 0 ? nullptr : fdopen(copy, "wb");
    if (!f) {
        if (copy >= 0)
            close_ok(copy, false);
        return false;
    }
    FreeImageIO io = {read_proc, write_proc, seek_proc, tell_proc};
    bool ok = FreeImage_SaveToHandle(FIF_PNG, bitmap, &io, f, 0) && errorlevel == 0;
    if (!ok && errorlevel == 0 && errno == 0)
        errno = EIO; // the encoder gave up without a word
    const int err = errno;
    if (std::fclose(f) != 0 && ok)
        return false;
    errno = err;
    return ok;
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

// Extended attributes, POSIX ACLs among them, would not follow the picture to a new file. The
// SELinux label is left out: a new file in the same directory gets the same one.
bool has_attributes(int fd)
{
    char names[4096];
    const ssize_t len = flistxattr(fd, names, sizeof names);
    if (len < 0)
        return errno == ERANGE; // too many to list; no support at all means none
    for (ssize_t at = 0; at < len; at += static_cast<ssize_t>(std::strlen(names + at)) + 1)
        if (std::strcmp(names + at, "security.selinux") != 0)
            return true;
    return false;
}

// The new name must survive a power cut as the data does. A directory that we may not read
// cannot be synced, and some file systems cannot sync one at all; neither undoes the save.
bool sync_directory(const std::string &dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return true;
    return close_ok(fd, fsync(fd) == 0 || errno == EINVAL);
}

bool copy_bytes(int from, int to, off_t size)
{
    char buf[1 << 16];
    for (off_t at = 0; at < size;) {
        const ssize_t got = pread(from, buf, std::min<off_t>(sizeof buf, size - at), at);
        if (got <= 0) {
            if (got == 0)
                errno = EIO; // the picture got shorter under us
            return false;
        }
        for (ssize_t put = 0; put < got;) {
            const ssize_t n = pwrite(to, buf + put, static_cast<size_t>(got - put), at + put);
            if (n < 0)
                return false;
            put += n;
        }
        at += got;
    }
    return true;
}

// Puts the complete picture (size bytes in from) into the existing file open as to, which keeps
// its inode, owner, group, mode and links. The space is claimed before the first byte is
// overwritten, where the file system can, so that a full disk or quota leaves the old picture
// whole; an interrupt waits until the copy is done; runs of this tool onto one file take turns.
bool overwrite(int to, int from, off_t size)
{
    flock(to, LOCK_EX); // advisory, and not on every file system: a courtesy, not a condition
    if (fallocate(to, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno != EOPNOTSUPP && errno != ENOSYS)
        return false;
    const sigset_t was = hold();
    const bool ok = copy_bytes(from, to, size) && ftruncate(to, size) == 0 && fsync(to) == 0;
    const int err = errno;
    release(was);
    errno = err;
    return ok;
}

// An unnamed file to hold the picture while the existing file waits: beside it if the directory
// allows, else in /tmp, else in memory. It vanishes with the process, however that ends.
int scratch(const std::string &dir)
{
    for (const char *d : {dir.c_str(), "/tmp"}) {
        const int fd = open(d, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0)
            return fd;
    }
    return memfd_create("vozk-render", MFD_CLOEXEC);
}

// Writes the existing file open as to in place, once the picture is encoded in full elsewhere.
bool write_in_place(FIBITMAP *bitmap, int to, const std::string &dir)
{
    const int fd = scratch(dir);
    if (fd < 0)
        return false;
    struct stat st;
    const bool ok = encode(bitmap, fd) && fstat(fd, &st) == 0 && overwrite(to, fd, st.st_size);
    return close_ok(fd, ok);
}

// Replaces target with a new file, complete and synced before it is renamed over the old name.
// A new file gets the mode a plain create would give; an existing one (open as keep, described
// by old) passes on its mode, owner and group. Where they cannot be passed on, or the rename is
// refused (another user's file in a sticky directory, a mount point), the existing file is
// written in place; so is one in a directory where no new file can be made.
bool replace(FIBITMAP *bitmap, const std::string &target, int keep, const struct stat *old)
{
    const std::string dir = directory_of(target);
    const int fd = make_temp(dir);
    if (fd < 0)
        return keep >= 0 && write_in_place(bitmap, keep, dir);

    mode_t mode = 0;
    if (old) {
        struct stat now;
        const bool same =
            fstat(fd, &now) == 0 && now.st_uid == old->st_uid && now.st_gid == old->st_gid;
        if (!same && fchown(fd, old->st_uid, old->st_gid) != 0) {
            disarm(true);
            close(fd);
            return write_in_place(bitmap, keep, dir);
        }
        mode = old->st_mode & 07777; // after the chown, which would clear set-id bits
    } else {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }

    bool ok = fchmod(fd, mode) == 0 && encode(bitmap, fd) && fsync(fd) == 0;
    bool renamed = false;
    if (ok) {
        const sigset_t was = hold();
        renamed = std::rename(temp_path, target.c_str()) == 0;
        if (renamed)
            armed = 0; // the name is the output's now: nothing to remove
        release(was);
        struct stat st;
        if (renamed)
            ok = sync_directory(dir);
        else
            ok = keep >= 0 && fstat(fd, &st) == 0 && overwrite(keep, fd, st.st_size);
    }
    disarm(!renamed);
    return close_ok(fd, ok);
}

// Devices, FIFOs and pipes (/dev/stdout) are written as they are.
bool write_direct(FIBITMAP *bitmap, const char *path)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_CLOEXEC, 0666);
    return fd >= 0 && close_ok(fd, encode(bitmap, fd));
}

bool save(FIBITMAP *bitmap, const char *path)
{
    if (*path == '\0') {
        errno = ENOENT; // what open would say, without the encoding work first
        return false;
    }
    struct stat st;
    if (stat(path, &st) != 0) {
        if (errno != ENOENT)
            return false; // a loop of links, a path through a file, no permission to look
        return replace(bitmap, resolve(path), -1, nullptr); // a dangling link makes its target
    }
    if (!S_ISREG(st.st_mode))
        return write_direct(bitmap, path); // a directory fails here, as it should

    // An existing file is written only if open lets us write it: permission bits and ACLs for
    // the effective ids, read-only file systems, immutable files.
    const int fd = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0)
        return fd >= 0 && close_ok(fd, false);
    // A replacement keeps all that a plain write keeps only for a file with one link and no
    // extended attributes, and only if the name still leads to it (not to a swapped link).
    const std::string target = resolve(path);
    struct stat named;
    const bool whole = st.st_nlink == 1 && !has_attributes(fd) &&
                       stat(target.c_str(), &named) == 0 && named.st_dev == st.st_dev &&
                       named.st_ino == st.st_ino;
    const bool ok =
        whole ? replace(bitmap, target, fd, &st) : write_in_place(bitmap, fd, directory_of(target));
    return close_ok(fd, ok);
}

} // namespace

void save_png(FIBITMAP *bitmap, const char *path)
{
    catch_fatal();
    if (save(bitmap, path))
        errno = 0; // what the look-ups and fall-backs met on the way is no failure
    else if (errorlevel == 0 && errno == 0)
        errno = EIO; // a failure must never pass for success
}
