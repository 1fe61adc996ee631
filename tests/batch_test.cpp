// End to end: the README's commands for a batch of files across cores, taken from the README
// itself and run as written, with one file that cannot be drawn.
#include "cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <string>

namespace
{

// The indented code block of the README that begins with first, as a shell script.
std::string readme_block(const std::string &first)
{
    std::istringstream readme(read_file(std::string(VOZK_SOURCE_DIR) + "/README.md"));
    std::string script;
    for (std::string line; std::getline(readme, line);) {
        if (script.empty() && line != "    " + first)
            continue;
        if (line.rfind("    ", 0) != 0)
            break;
        script += line.substr(4) + "\n";
    }
    return script;
}

using Batch = Cli;

TEST_F(Batch, EveryFileGetsItsPictureAndAFailureShowsInTheStatus)
{
    const std::string tool_dir = tool.substr(0, tool.rfind('/'));
    const struct {
        const char *runner;
        std::string script;
        int failed; // exit status when one file fails
    } cases[] = {
        {"xargs", readme_block("find logs -name '*.log' -print0 |"), 123},
        {"parallel",
         readme_block("find logs -name '*.log' -print0 | parallel -0 'vozk-render 100 {}.png < "
                      "{} > /dev/null'"),
         1},
    };
    const std::string good[] = {"logs/a.log", "logs/sub/with space.log", "logs/sub/c.log"};
    const std::string text[] = {"hello\nworld\n", "a name with a space\n", std::string(250, 'c')};
    for (const auto &c : cases) {
        ASSERT_NE(c.script, "") << c.runner << ": the README lost its command";
        if (std::string(c.runner) == "parallel" && access("/usr/bin/parallel", X_OK) != 0) {
            std::printf("skipped GNU parallel: not installed (Debian package parallel)\n");
            continue;
        }
        EXPECT_EQ(std::system(("rm -rf '" + dir + "/logs'").c_str()), 0);
        mkdir((dir + "/logs").c_str(), 0755);
        mkdir((dir + "/logs/sub").c_str(), 0755);
        for (int k = 0; k < 3; k++)
            write_file(dir + "/" + good[k], text[k]);
        write_file(dir + "/logs/bad.log", "x"); // too short to draw
        for (const bool with_bad : {true, false}) {
            if (!with_bad)
                std::remove((dir + "/logs/bad.log").c_str());
            const run_result r = run_program(
                "/bin/sh", {"-c", "cd \"$0\" && PATH=\"$1:$PATH\" && " + c.script, dir, tool_dir},
                "/dev/null");
            EXPECT_EQ(r.status, with_bad ? c.failed : 0) << c.runner << ": " << r.err;
            for (int k = 0; k < 3; k++)
                EXPECT_EQ(
                    compare(read_png(dir + "/" + good[k] + ".png"), expected_picture(text[k], 100)),
                    "")
                    << c.runner << ": " << good[k];
            EXPECT_FALSE(exists(dir + "/logs/bad.log.png"));
            if (with_bad) {
                EXPECT_NE(r.err.find("Input too short"), std::string::npos) << r.err;
            }
        }
    }
}

} // namespace
