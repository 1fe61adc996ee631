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
        int status;
        std::string report;
    } cases[] = {
        {0, 0, 0, ""}, // nothing raised: ck_err returns quietly
        {0, ENOSPC, 1, std::string(msg) + ": No space left on device\n"},
        {1, 0, 1, msg},
        {1, ENOENT, 1, msg}, // the library's failure wins; errno is not reported
    };
    for (const auto &c : cases) {
        const outcome o = in_child([&] {
            FreeImage_Initialise(FALSE);
            FIBITMAP *bm = FreeImage_Allocate(4, 6, 24);
            void *buf = std::malloc(16);
            errorlevel = c.level;
            errno = c.err;
            ck_err(bm, buf, msg);
        });
        EXPECT_EQ(o.status, c.status) << "errorlevel " << c.level << " errno " << c.err;
        EXPECT_EQ(o.err, c.report) << "errorlevel " << c.level << " errno " << c.err;
    }
}

TEST(CkErr, AcceptsNothingToRelease)
{
    const outcome o = in_child([] {
        errno = EBADF;
        ck_err(nullptr, nullptr, "Error getting version -- aborting...\n");
    });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "Error getting version -- aborting...\n: Bad file descriptor\n");
}

} // namespace
