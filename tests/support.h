// Test helpers: an independent model of the layout, pictures read back from bitmaps and files,
// and a runner for the built tool.
#pragma once

#include <FreeImage.h>
#include <sys/types.h>

#include <string>
#include <vector>

// Where a glyph lands: cell column, text line (0 at the top) and the byte drawn there.
struct cell {
    int col;
    int line;
    unsigned char ch;
    bool operator==(const cell &o) const
    {
        return col == o.col && line == o.line && ch == o.ch;
    }
};

// Eager wrapping, written plainly: a newline moves to the next line, any other byte is drawn and
// the column advances, and a full line moves to the next line at once.
std::vector<cell> model_cells(const std::string &text, int columns);

// The line count the picture is sized by: the lines the model reaches, less a final empty line
// that only a full last line opened; one column is counted as n lines (n+1 after a leading
// newline).
long long model_lines(const std::string &text, int columns);

// A black-and-white picture, top row first; ink is 1. bad counts pixels neither black nor white.
struct picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> ink;
    long bad = 0;
    bool at(int x, int y) const
    {
        return ink[static_cast<size_t>(y) * width + x] != 0;
    }
};

// What the tool must draw for text at columns, from the model and the glyph table.
picture expected_picture(const std::string &text, int columns);
// The same from explicit cells, for a given number of lines.
picture picture_of(const std::vector<cell> &cells, int columns, long long lines);

picture read_bitmap(FIBITMAP *bitmap);
// Loads a PNG from disk; width 0 if it cannot be loaded as PNG.
picture read_png(const std::string &path);

// Empty when equal, else where the first difference is.
std::string compare(const picture &got, const picture &want);

struct run_result {
    int status = -1; // exit status, or -1 if killed by a signal
    int signal = 0;  // the signal that ended it, if one did
    std::string out;
    std::string err; // begins with the reason when the program ran out of time
};

// How long a program run by the tests may take before it is killed as hung.
constexpr int run_seconds = 120;

// Waits for the child pid for up to seconds; returns its wait status, or -1 when it had not
// ended by then and was killed, with its process group if it leads one.
int wait_for(pid_t pid, int seconds);

// program and args as execv wants them; the strings must outlive the vector.
std::vector<char *> argv_of(const std::string &program, const std::vector<std::string> &args);

// Runs program with args, in a process group of its own; stdin_path is opened as standard input
// (an empty string closes it). Standard output is captured, unless stdout_path names a file to
// send it to ("-" closes it). A run that takes longer than seconds is killed, with everything it
// started, and fails: status -1, the signal SIGKILL, and the reason first on its standard error.
run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::string &stdin_path, const std::string &stdout_path = "",
                       int seconds = run_seconds);

// A fresh directory under TMPDIR, and writing or reading a whole file.
std::string temp_dir();
void write_file(const std::string &path, const std::string &bytes);
std::string read_file(const std::string &path);
bool exists(const std::string &path);
// The names in directory d, sorted, each followed by a newline.
std::string names_in(const std::string &d);
