// Loaded into the built tool with LD_PRELOAD. Its constructor leaves errno set before main runs,
// as some of the image library's own dependencies do on a machine without /sys. Built with
// VOZK_STEP_ERRNO, it also makes one step of the run (fetching the library's copyright message)
// set errno while succeeding, which the check after that step must still report.
#include <FreeImage.h>
#include <dlfcn.h>

#include <cerrno>

__attribute__((constructor)) static void leave_errno_set()
{
    errno = ENOENT;
}

#ifdef VOZK_STEP_ERRNO
extern "C" const char *FreeImage_GetCopyrightMessage()
{
    using fn = const char *(*)();
    const auto real = reinterpret_cast<fn>(dlsym(RTLD_NEXT, "FreeImage_GetCopyrightMessage"));
    const char *message = real();
    errno = EIO;
    return message;
}
#endif
