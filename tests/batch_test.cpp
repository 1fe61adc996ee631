// End to end: the README's commands for a batch of files across cores, taken from the README
// itself and run as written, with one file that cannot be drawn.
#include "cli.h"
#include "readme.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>

namespace
{

struct batch_case {
    const char *runner;
    const char *key;     // a piece of the README's command
    const char *program; // what must be installed for it
    int failed;          // its exit status when one file fails
};

// A case shows as its runner, in CTest's test names too.
void PrintTo(const batch_case &c, std::ostream *os)
{
    *os << c.runner;
}

class Batch : public Cli, public ::testing::WithParamInterface<batch_case>
{
};

TEST_P(Batch, EveryFileGetsItsPictureAndAFailureIsNamed)
{
    const batch_case &c = GetParam();
    const std::string script = readme_block(c.key);
    ASSERT_NE(script, "") << c.runner << ": the README lost its command";
    if (access(c.program, X_OK) != 0)
        GTEST_SKIP() << c.program << " is not installed (Debian package " << c.runner << ")";
    const std::string tool_dir = tool.substr(0, tool.rfind('/'));
    const std::string good[] = {"logs/a.log", "logs/sub/with space.log", "logs/sub/c.log"};
    const std::string text[] = {"hello\nworld\n", "a name with a space\n", std::string(250, 'c')};
    mkdir((dir + "/logs").c_str(), 0755);
    mkdir((dir + "/logs/sub").c_str(), 0755);
    for (int k = 0; k < 3; k++)
        write_file(dir + "/" + good[k], text[k]);
    write_file(dir + "/logs/bad.log", "x"); // too short to draw
    for (const bool with_bad : {true, false}) {
        if (!with_bad)
            std::remove((dir + "/logs/bad.log").c_str());
        const run_result r = run_program(
            "/bin/sh", {"-c", "cd \"$0\" && PATH=\"$1:$PATH\" && " + script, dir, tool_dir},
            "/dev/null");
        EXPECT_EQ(r.status, with_bad ? c.failed : 0) << r.err;
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(
                compare(read_png(dir + "/" + good[k] + ".png"), expected_picture(text[k], 100)),
                "")
                << good[k];
        EXPECT_FALSE(exists(dir + "/logs/bad.log.png"));
        if (with_bad) {
            EXPECT_NE(r.err.find("Input too short"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("logs/bad.log: not rendered\n"), std::string::npos) << r.err;
        } else {
            EXPECT_EQ(r.err.find("not rendered"), std::string::npos) << r.err;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Runners, Batch,
    ::testing::Values(batch_case{"xargs", "find logs -name '*.log' -print0 |\n    xargs", "/usr/bin/xargs", 123},
                      batch_case{"parallel", "parallel -0", "/usr/bin/parallel", 1}));

} // namespace
