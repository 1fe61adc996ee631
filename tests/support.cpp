#include "support.h"

#include "font/vozk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

std::vector<cell> model_cells(const std::string &text, int columns)
{
    std::vector<cell> cells;
    int col = 0;
    int line = 0;
    for (unsigned char ch : text) {
        if (ch == '\n') {
            line++;
            col = 0;
            continue;
        }
        cells.push_back({col, line, ch});
        if (++col == columns) {
            line++;
            col = 0;
        }
    }
    return cells;
}

long long model_lines(const std::string &text, int columns)
{
    const long long n = static_cast<long long>(text.size());
    if (columns == 1)
        return n + (!text.empty() && text[0] == '\n');
    long long line = 0;
    int col = 0;
    bool opened_by_full_line = false;
    for (unsigned char ch : text) {
        opened_by_full_line = false;
        if (ch == '\n') {
            line++;
            col = 0;
        } else if (++col == columns) {
            line++;
            col = 0;
            opened_by_full_line = true;
        }
    }
    return line + 1 - (opened_by_full_line ? 1 : 0);
}

picture picture_of(const std::vector<cell> &cells, int columns, long long lines)
{
    picture p;
    p.width = 4 * columns;
    p.height = static_cast<int>(6 * lines);
    p.ink.assign(static_cast<size_t>(p.width) * p.height, 0);
    for (const cell &c : cells)
        for (int r = 0; r < 6; r++)
            for (int i = 0; i < 4; i++)
                if (vozk[c.ch][4 * r + i])
                    p.ink[static_cast<size_t>(6 * c.line + r) * p.width + 4 * c.col + i] = 1;
    return p;
}

picture expected_picture(const std::string &text, int columns)
{
    return picture_of(model_cells(text, columns), columns, model_lines(text, columns));
}

picture read_bitmap(FIBITMAP *bitmap)
{
    picture p;
    p.width = static_cast<int>(FreeImage_GetWidth(bitmap));
    p.height = static_cast<int>(FreeImage_GetHeight(bitmap));
    p.ink.assign(static_cast<size_t>(p.width) * p.height, 0);
    for (int y = 0; y < p.height; y++) {
        // Scan line 0 is the bottom of the picture.
        const BYTE *row = FreeImage_GetScanLine(bitmap, p.height - 1 - y);
        for (int x = 0; x < p.width; x++) {
            const BYTE *px = row + 3 * x;
            const bool white = px[0] == 0xFF && px[1] == 0xFF && px[2] == 0xFF;
            const bool black = px[0] == 0 && px[1] == 0 && px[2] == 0;
            p.bad += !white && !black;
            p.ink[static_cast<size_t>(y) * p.width + x] = white;
        }
    }
    return p;
}

picture read_png(const std::string &path)
{
    picture p;
    if (FreeImage_GetFileType(path.c_str(), 0) != FIF_PNG)
        return p;
    FIBITMAP *bitmap = FreeImage_Load(FIF_PNG, path.c_str(), 0);
    if (!bitmap)
        return p;
    if (FreeImage_GetBPP(bitmap) == 24)
        p = read_bitmap(bitmap);
    FreeImage_Unload(bitmap);
    return p;
}

std::string compare(const picture &got, const picture &want)
{
    std::ostringstream s;
    if (got.width != want.width || got.height != want.height) {
        s << "size " << got.width << "x" << got.height << ", want " << want.width << "x"
          << want.height;
        return s.str();
    }
    if (got.bad)
        s << got.bad << " pixels neither black nor white; ";
    for (int y = 0; y < got.height; y++)
        for (int x = 0; x < got.width; x++)
            if (got.at(x, y) != want.at(x, y)) {
                s << "pixel (" << x << "," << y << " from the top) is "
                  << (got.at(x, y) ? "white" : "black");
                return s.str();
            }
    return s.str();
}

std::vector<char *> argv_of(const std::string &program, const std::vector<std::string> &args)
{
    std::vector<char *> argv = {const_cast<char *>(program.c_str())};
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

int wait_for(pid_t pid, int seconds)
{
    const bool leader = getpgid(pid) == pid;
    // Polled, in steps that grow from 1 ms to 50 ms: quick runs are not held up, long ones cost
    // little.
    long waited_us = 0;
    for (long step = 1000;; step = std::min(step * 2, 50000L)) {
        int status = 0;
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid || (got < 0 && errno != EINTR))
            return got == pid ? status : -1;
        if (waited_us >= seconds * 1000000L) {
            kill(leader ? -pid : pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(static_cast<useconds_t>(step));
        waited_us += step;
    }
}

run_result run_program(const std::string &program, const std::vector<std::string> &args,
                       const std::string &stdin_path, const std::string &stdout_path,
                       int seconds)
{
    const std::string dir = temp_dir();
    const std::string out = dir + "/stdout";
    const std::string err = dir + "/stderr";
    std::vector<char *> argv = argv_of(program, args);

    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0); // so that a hung run can be killed with all that it started
        // Open everything first: a stream to be closed must not be reused by the next open.
        const int in = stdin_path.empty() ? -1 : open(stdin_path.c_str(), O_RDONLY);
        const std::string &to = stdout_path.empty() ? out : stdout_path;
        const int o =
            stdout_path == "-" ? -1 : open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(e, 2);
        in < 0 ? close(0) : dup2(in, 0);
        o < 0 ? close(1) : dup2(o, 1);
        for (int fd : {in, o, e})
            if (fd > 2)
                close(fd);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    setpgid(pid, pid); // also here, so that the group exists before anything waits on it
    const int status = wait_for(pid, seconds);
    run_result r;
    r.status = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.signal = status < 0 ? SIGKILL : WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    r.out = read_file(out);
    r.err = read_file(err);
    if (status < 0)
        r.err = program + " did not finish within " + std::to_string(seconds) +
                " s and was killed\n" + r.err;
    std::remove(out.c_str());
    std::remove(err.c_str());
    rmdir(dir.c_str());
    return r;
}

std::string temp_dir()
{
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/vozk-test-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        std::abort();
    return pattern;
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string names_in(const std::string &d)
{
    // A listing cut short would pass for an empty directory, and a check that no temporary file
    // is left with it: a directory that cannot be read ends the test.
    const auto unread = [&] {
        std::perror(("names_in: " + d).c_str());
        std::abort();
    };
    std::vector<std::string> names;
    DIR *h = opendir(d.c_str());
    if (!h)
        unread();
    for (;;) {
        errno = 0; // readdir's end and its failure differ only in errno
        const dirent *e = readdir(h);
        if (!e)
            break;
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    }
    if (errno != 0)
        unread();
    closedir(h);
    std::sort(names.begin(), names.end());
    std::string list;
    for (const std::string &name : names)
        list += name + "\n";
    return list;
}
