// End to end: every command of the README, taken from the README itself and run as written in a
// directory of sample files, with the tool just built first on the PATH; and the README's glyph
// chart, which must be what the tool draws.
#include "cli.h"
#include "readme.h"

#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

namespace
{

// A picture that a command must leave: the text it shows, drawn at columns and enlarged scale
// times. The text is given, or is what the shell command text_of prints.
struct want {
    std::string png;
    std::string text;
    int columns;
    int scale = 1;
    std::string text_of = "";
};

struct readme_case {
    const char *name;
    const char *key;                     // a piece of the README's command
    const char *needs;                   // a program that it uses, if not always there
    std::vector<std::pair<std::string, std::string>> files; // what it reads
    std::string before;                  // what makes the picture it starts from
    std::vector<want> pictures;
};

// A case shows as its name, in CTest's test names too.
void PrintTo(const readme_case &c, std::ostream *os)
{
    *os << c.name;
}

std::string numbered_lines(int from, int to)
{
    std::string s;
    for (int k = from; k < to; k++)
        s += "line " + std::to_string(k) + " of the log\n";
    return s;
}

const std::string hello = "printf 'HELLO\\n' | vozk-render 3 listing.png > /dev/null && ";

const readme_case cases[] = {
    {"Listing", "ls -l /usr/bin", nullptr, {}, "",
     {{"listing.png", "", 100, 1, "ls -l /usr/bin | head -n 40"}}},
    {"HexDump", "od -A x", nullptr, {}, "",
     {{"dump.png", "", 75, 1, "od -A x -t x1z -v /bin/true | head -n 64"}}},
    {"EnlargeWithImageMagick", "convert listing.png", "/usr/bin/convert", {}, hello,
     {{"listing-x4.png", "HELLO\n", 3, 4}}},
    {"EnlargeWithNetpbm", "pamenlarge 4", "/usr/bin/pamenlarge", {}, hello,
     {{"listing-big.png", "HELLO\n", 3, 4}}},
    {"Utf8", "iconv -f UTF-8", nullptr,
     {{"notes.txt", "caf\xc3\xa9 na\xc3\xafve \xe2\x80\x9cquoted\xe2\x80\x9d \xe2\x82\xac" "5\n"}},
     "", {{"notes.png", "cafe naive \"quoted\" EUR5\n", 80}}},
    {"Tabs", "expand -t 8", nullptr, {{"main.c", "int main()\n{\n\treturn 0;\n}\n"}}, "",
     {{"main.png", "int main()\n{\n        return 0;\n}\n", 100}}},
    {"CarriageReturns", "tr -d", nullptr, {{"dos.txt", "one\r\ntwo\r\n"}}, "",
     {{"dos.png", "one\ntwo\n", 80}}},
    {"Colours", "sed 's/", nullptr,
     {{"colour.log", "\x1b[1;31merror\x1b[0m: bad\n\x1b[Kdone \x1b[32mok\x1b[m\n"}}, "",
     {{"colour.png", "error: bad\ndone ok\n", 100}}},
    {"ColumnsFromTheLongestLine", "wc -L", nullptr,
     {{"notes.txt", "short\ntwenty-one characters\nend\n"}}, "",
     {{"notes.png", "short\ntwenty-one characters\nend\n", 22}}},
    {"Pages", "split -l 500", nullptr, {{"big.log", numbered_lines(0, 1100)}}, "",
     {{"pages/big-0000.log.png", numbered_lines(0, 500), 100},
      {"pages/big-0001.log.png", numbered_lines(500, 1000), 100},
      {"pages/big-0002.log.png", numbered_lines(1000, 1100), 100}}},
};

// Blocks that other tests run: the set-up and packaging commands (CI and the fresh-chroot checks
// run make demo, make test and make deb-check; install_test.sh runs make install and uninstall),
// the synopsis, the batch recipes (batch_test.cpp) and the pipe (output_test.cpp).
const char *const elsewhere[] = {"make demo",
                                 "make deb ",
                                 "make install PREFIX=",
                                 "vozk-render columns output-file\n",
                                 "find logs -name '*.log' -print0 |\n    xargs",
                                 "parallel -0",
                                 "/dev/fd/3 3>&1"};

// A decoded picture of any PNG kind (ImageMagick and netpbm write grey or palette pictures).
picture load_png(const std::string &path)
{
    picture p;
    FIBITMAP *bitmap = FreeImage_Load(FIF_PNG, path.c_str(), 0);
    if (!bitmap)
        return p;
    FIBITMAP *rgb = FreeImage_ConvertTo24Bits(bitmap);
    if (rgb) {
        p = read_bitmap(rgb);
        FreeImage_Unload(rgb);
    }
    FreeImage_Unload(bitmap);
    return p;
}

picture enlarged(const picture &p, int k)
{
    picture big;
    big.width = p.width * k;
    big.height = p.height * k;
    big.ink.resize(static_cast<size_t>(big.width) * big.height);
    for (int y = 0; y < big.height; y++)
        for (int x = 0; x < big.width; x++)
            big.ink[static_cast<size_t>(y) * big.width + x] = p.at(x / k, y / k);
    return big;
}

class Readme : public Cli, public ::testing::WithParamInterface<readme_case>
{
  protected:
    run_result shell(const std::string &script)
    {
        const std::string tool_dir = tool.substr(0, tool.rfind('/'));
        return run_program("/bin/sh",
                           {"-c", "cd \"$0\" && PATH=\"$1:$PATH\" && " + script, dir, tool_dir},
                           "/dev/null");
    }
};

TEST_P(Readme, CommandWorksAsWritten)
{
    const readme_case &c = GetParam();
    const std::string script = readme_block(c.key);
    ASSERT_NE(script, "") << "no single README command holds " << c.key;
    if (c.needs && access(c.needs, X_OK) != 0)
        GTEST_SKIP() << c.needs << " is not installed";
    for (const auto &[name, bytes] : c.files)
        write_file(dir + "/" + name, bytes);
    const run_result r = shell(c.before + script);
    ASSERT_EQ(r.status, 0) << script << r.err;
    for (const want &w : c.pictures) {
        const std::string text = w.text_of.empty() ? w.text : shell(w.text_of).out;
        ASSERT_NE(text, "");
        EXPECT_EQ(compare(load_png(dir + "/" + w.png),
                          enlarged(expected_picture(text, w.columns), w.scale)),
                  "")
            << w.png;
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, Readme, ::testing::ValuesIn(cases));

// A command added to the README without a test that runs it fails here.
TEST(ReadmeCommands, EachIsRunByATest)
{
    for (const std::string &block : readme_blocks()) {
        int runs = 0;
        for (const readme_case &c : cases)
            runs += block.find(c.key) != std::string::npos;
        for (const char *key : elsewhere)
            runs += block.find(key) != std::string::npos;
        EXPECT_EQ(runs, 1) << "README block:\n" << block;
    }
}

// The chart in the README is what tools/glyph-chart (make glyphs) draws now, and that is the
// tool's own drawing of the chart's text, enlarged 4 times.
using Glyphs = Cli;

TEST_F(Glyphs, ChartIsCurrent)
{
    if (access("/usr/bin/pamenlarge", X_OK) != 0)
        GTEST_SKIP() << "needs netpbm (Debian package netpbm)";
    const std::string chart = std::string(VOZK_SOURCE_DIR) + "/tools/glyph-chart";
    const std::string fresh = dir + "/glyphs.png";
    ASSERT_EQ(run_program("/bin/sh", {chart, tool, fresh}, "/dev/null").status, 0);
    ASSERT_EQ(run_program("/bin/sh", {chart, tool, dir + "/chart.txt", "text"}, "/dev/null").status,
              0);
    const picture drawn = load_png(fresh);
    EXPECT_EQ(compare(drawn, enlarged(expected_picture(read_file(dir + "/chart.txt"), 35), 4)), "");
    EXPECT_EQ(compare(load_png(std::string(VOZK_SOURCE_DIR) + "/doc/glyphs.png"), drawn), "")
        << "doc/glyphs.png is out of date: make glyphs draws it again";
}

// The README's sample picture is what make demo draws now, with whichever FreeImage it links.
TEST_F(Glyphs, DemoIsCurrent)
{
    const std::string doc = std::string(VOZK_SOURCE_DIR) + "/doc/sample";
    const std::string fresh = dir + "/demo.png";
    ASSERT_EQ(run_program(tool, {"48", fresh}, doc + ".txt").status, 0);
    const picture drawn = load_png(fresh);
    EXPECT_EQ(compare(drawn, expected_picture(read_file(doc + ".txt"), 48)), "");
    EXPECT_EQ(compare(load_png(doc + ".png"), drawn), "") << "doc/sample.png is out of date";
}

} // namespace
