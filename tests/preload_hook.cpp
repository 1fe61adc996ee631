// Loaded into the tool with LD_PRELOAD: runs a shell command at one chosen point of a run, so
// that a test can change the file system, or send a signal, exactly there and nowhere else; and
// can make one chosen call fail, as on a file system that lacks what it asks for.
//
//   VOZK_HOOK_AT=write:N       before the Nth write(2) to a descriptor above 2
//   VOZK_HOOK_AT=fsync:N       before the Nth fsync(2)
//   VOZK_HOOK_AT=sendfile:N    before the Nth sendfile(2) (sendfile64)
//   VOZK_HOOK_AT=open:NAME     after the first open(2) or openat(2) of a path whose last
//                              component is NAME (or, for NAME ending in *, begins with the rest)
//   VOZK_HOOK_AT=stat:NAME     after the first fstatat(2) of such a path
//   VOZK_HOOK_RUN=COMMAND      run by /bin/sh -c and waited for; VOZK_PID names the tool
//   VOZK_HOOK_FAIL=POINT:E     the call at POINT (as above, but before it is made) fails with
//                              errno E instead; open:.:95 makes the first unnamed file EOPNOTSUPP
//                              (for an output named by an absolute path, whose directory is not
//                              opened as ".")
//
// Built without _FORTIFY_SOURCE, whose inline wrappers would stand in for the functions defined
// here; <sys/stat.h> is left out, as the stat functions are only passed through.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct stat;
struct stat64;

namespace
{

// One chosen point: the variable that names it, and how far the run has got towards it.
struct point {
    const char *var;
    bool fired;
    int calls;
};
point run_at = {"VOZK_HOOK_AT", false, 0};
point fail_at = {"VOZK_HOOK_FAIL", false, 0};

template <typename F> F next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Whether this is the chosen call: the Nth of its kind, or the first that names the file. Fires
// once.
bool chosen(point &p, const char *kind, const char *path)
{
    const char *at = std::getenv(p.var);
    const size_t len = std::strlen(kind);
    if (p.fired || !at || std::strncmp(at, kind, len) != 0 || at[len] != ':')
        return false;
    const char *arg = at + len + 1;
    const size_t arg_len = std::strcspn(arg, ":");
    const char *slash = path ? std::strrchr(path, '/') : nullptr;
    const char *name = slash ? slash + 1 : path;
    const bool prefix = arg_len > 0 && arg[arg_len - 1] == '*';
    const size_t want = prefix ? arg_len - 1 : arg_len;
    const bool fits = path && (prefix ? std::strlen(name) >= want : std::strlen(name) == want);
    p.fired = path ? fits && std::strncmp(name, arg, want) == 0 : ++p.calls == std::atoi(arg);
    return p.fired;
}

// The chosen call fails, with the errno that ends its point, instead of being made.
bool fails(const char *kind, const char *path)
{
    if (!chosen(fail_at, kind, path))
        return false;
    errno = std::atoi(std::strrchr(std::getenv(fail_at.var), ':') + 1);
    return true;
}

void run_hook()
{
    const int err = errno;
    const char *command = std::getenv("VOZK_HOOK_RUN");
    char pid[24];
    std::snprintf(pid, sizeof pid, "%d", static_cast<int>(getpid()));
    setenv("VOZK_PID", pid, 1);
    const pid_t child = command ? fork() : -1;
    if (child == 0) {
        // The command's programs must not hook themselves, and under an emulator, being the
        // machine's own, they could not even load this library.
        unsetenv("LD_PRELOAD");
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR)
        ; // a signal the command sent may be caught on its way
    errno = err;
}

// Runs the hook after a look-up that named the chosen file, keeping what the look-up returned.
int after(const char *kind, const char *path, int result)
{
    const int err = errno;
    if (chosen(run_at, kind, path))
        run_hook();
    errno = err;
    return result;
}

mode_t mode_of(int flags, va_list ap)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, mode_t) : 0;
}

} // namespace

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    if (fd > 2 && chosen(run_at, "write", nullptr))
        run_hook();
    return next<ssize_t (*)(int, const void *, size_t)>("write")(fd, buf, n);
}

extern "C" int fsync(int fd)
{
    if (chosen(run_at, "fsync", nullptr))
        run_hook();
    return next<int (*)(int)>("fsync")(fd);
}

// The build's 64-bit file offsets make sendfile64 the one the tool calls.
extern "C" ssize_t sendfile64(int out, int in, off64_t *offset, size_t n)
{
    if (chosen(run_at, "sendfile", nullptr))
        run_hook();
    return next<ssize_t (*)(int, int, off64_t *, size_t)>("sendfile64")(out, in, offset, n);
}

#define VOZK_OPEN(name)                                                                            \
    extern "C" int name(const char *path, int flags, ...)                                         \
    {                                                                                              \
        va_list ap;                                                                                \
        va_start(ap, flags);                                                                       \
        const mode_t mode = mode_of(flags, ap);                                                    \
        va_end(ap);                                                                                \
        if (fails("open", path))                                                                   \
            return -1;                                                                             \
        return after("open", path, next<int (*)(const char *, int, ...)>(#name)(path, flags, mode)); \
    }
#define VOZK_OPENAT(name)                                                                          \
    extern "C" int name(int dir, const char *path, int flags, ...)                                \
    {                                                                                              \
        va_list ap;                                                                                \
        va_start(ap, flags);                                                                       \
        const mode_t mode = mode_of(flags, ap);                                                    \
        va_end(ap);                                                                                \
        if (fails("open", path))                                                                   \
            return -1;                                                                             \
        return after("open", path,                                                                 \
                     next<int (*)(int, const char *, int, ...)>(#name)(dir, path, flags, mode));    \
    }
VOZK_OPEN(open)
VOZK_OPEN(open64)
VOZK_OPENAT(openat)
VOZK_OPENAT(openat64)

#define VOZK_FSTATAT(name, type)                                                                   \
    extern "C" int name(int dir, const char *path, type *st, int flags)                           \
    {                                                                                              \
        return after("stat", path,                                                                 \
                     next<int (*)(int, const char *, type *, int)>(#name)(dir, path, st, flags));   \
    }
VOZK_FSTATAT(fstatat, struct stat)
VOZK_FSTATAT(fstatat64, struct stat64)
