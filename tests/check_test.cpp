// The failure signals and how they are reported. ck_err ends the process, so each case runs in a
// child whose standard error is captured.
#include "check.h"
#include "support.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

struct outcome {
    int status; // exit status; 0 when ck_err returned
    std::string err;
};

// Runs fn in a child with stderr sent to a file.
template <typename F> outcome in_child(F fn)
{
    const std::string dir = temp_dir();
    const std::string path = dir + "/stderr";
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (!std::freopen(path.c_str(), "w", stderr))
            _exit(99);
        fn();
        std::fflush(stderr);
        _exit(0);
    }
    const int status = wait_for(pid, run_seconds);
    outcome o{status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_file(path)};
    if (status < 0)
        o.err = "the child did not finish within " + std::to_string(run_seconds) +
                " s and was killed\n" + o.err;
    std::remove(path.c_str());
    rmdir(dir.c_str());
    return o;
}

TEST(ErrorHandler, FramesTheMessageAsItIs)
{
    const struct {
        FREE_IMAGE_FORMAT fif;
        const char *message;
        const char *framed;
    } cases[] = {
        {FIF_PNG, "Invalid IHDR data", "\n*** PNG Format\nInvalid IHDR data ***\n"},
        {FIF_UNKNOWN, "no format here", "\n*** no format here ***\n"},
        {FIF_PNG, "100% %s %d %n", "\n*** PNG Format\n100% %s %d %n ***\n"},
    };
    for (const auto &c : cases) {
        const outcome o = in_child([&] {
            FreeImageErrorHandler(c.fif, c.message);
            std::exit(errorlevel == 1 ? 0 : 2);
        });
        EXPECT_EQ(o.status, 0) << "errorlevel must be raised";
        EXPECT_EQ(o.err, c.framed);
    }
}

TEST(CkErr, ReportsTheRaisedSignal)
{
    const char *msg = "Error saving bitmap -- aborting...\n";
    const struct {
        int level;
        int err;
        bool held; // a bitmap and a buffer to release, or none
        int status;
        std::string report;
    } cases[] = {
        {0, 0, true, 0, ""}, // nothing raised: ck_err returns quietly
        {0, ENOSPC, true, 1, std::string(msg) + ": No space left on device\n"},
        {1, 0, true, 1, msg},
        {1, ENOENT, true, 1, msg}, // the library's failure wins; errno is not reported
        {0, EBADF, false, 1, std::string(msg) + ": Bad file descriptor\n"},
        {1, 0, false, 1, msg},
    };
    for (const auto &c : cases) {
        const outcome o = in_child([&] {
            FreeImage_Initialise(FALSE);
            FIBITMAP *bm = c.held ? FreeImage_Allocate(4, 6, 24) : nullptr;
            void *buf = c.held ? std::malloc(16) : nullptr;
            errorlevel = c.level;
            errno = c.err;
            ck_err(bm, buf, msg);
        });
        EXPECT_EQ(o.status, c.status) << "errorlevel " << c.level << " errno " << c.err;
        EXPECT_EQ(o.err, c.report) << "errorlevel " << c.level << " errno " << c.err;
    }
}

} // namespace
