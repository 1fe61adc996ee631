// End to end: the output file when things go wrong at a chosen point of the save. A write that
// fails (strace injects the error), a signal, a file system changed by someone else between the
// tool's look and its write (a preloaded hook acts at that very call), a bad path, a closed
// standard stream, a missing /proc.
#include "cli.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using Faults = Cli;

// Why strace cannot fail calls here (not installed, or no ptrace: emulation, some containers).
std::string cannot_trace()
{
    if (access("/usr/bin/strace", X_OK) != 0)
        return "needs strace (Debian package strace)";
    if (std::system("/usr/bin/strace -o /dev/null /bin/true 2>/dev/null") != 0)
        return "strace cannot trace processes here (no ptrace)";
    return "";
}

// Runs the tool under strace, with the extra strace arguments given; the calls traced go to log.
run_result traced(const std::vector<std::string> &strace, const std::vector<std::string> &args,
                  const std::string &input)
{
    std::vector<std::string> all = {"-E", "ASAN_OPTIONS=detect_leaks=0"}; // no leak checks traced
    all.insert(all.end(), strace.begin(), strace.end());
    all.push_back(tool);
    all.insert(all.end(), args.begin(), args.end());
    return run_program("/usr/bin/strace", all, input);
}

// The numbers, counted from 1 among all calls of call in a strace log, of those made on the file
// that the picture is written to: the descriptor whose first write began the PNG (the sanitizers
// write elsewhere), or, once the picture is copied in place, the target of that copy's sendfile
// (which copies nothing else).
std::vector<int> stream_calls(const std::string &log, const std::string &call)
{
    std::vector<int> numbers;
    std::istringstream lines(log);
    int n = 0;
    std::string fd;
    for (std::string line; std::getline(lines, line);) {
        const size_t open = line.find('(');
        const std::string to = line.substr(open + 1, line.find_first_of(",)") - open - 1);
        const bool png = line.find(", \"\\211PNG") != std::string::npos;
        if (line.rfind("sendfile(", 0) == 0 || (fd.empty() && png))
            fd = to;
        if (line.rfind(call + "(", 0) != 0)
            continue;
        n++;
        if (to == fd)
            numbers.push_back(n);
    }
    return numbers;
}

// Every write of the encoded picture is checked, and so is every write of the copy in place: the
// first one that fails fails the save with its reason. A replacement or a new file then leaves
// the old file as it was; the copy in place leaves it whole only if nothing was written yet.
// A full disk fails the save too, even where the old file's own blocks could hold the picture.
TEST_F(Faults, EveryFailedWriteFailsTheSave)
{
    const std::string why = cannot_trace();
    if (!why.empty())
        GTEST_SKIP() << why;
    const std::string text = random_bytes(100000, 5);
    write_file(dir + "/input", text);
    const std::string out = dir + "/out.png";
    const std::string other = dir + "/other.png";
    const std::string log = dir + "/calls";
    const struct {
        const char *what;
        bool existing;
        bool second_link;
    } layouts[] = {{"a new file", false, false},
                   {"a replacement", true, false},
                   {"a file written in place", true, true}};
    for (const auto &l : layouts) {
        const auto set_up = [&] {
            std::remove(out.c_str());
            std::remove(other.c_str());
            if (l.existing)
                write_file(out, "the old picture");
            if (l.second_link && link(out.c_str(), other.c_str()) != 0)
                std::abort();
        };
        set_up();
        const std::string listing = names_in(dir);
        ASSERT_EQ(
            traced({"-o", log, "-e", "trace=write,sendfile"}, {"250", out}, dir + "/input").status,
            0);
        const std::string calls = read_file(log);
        std::remove(log.c_str());
        const struct {
            std::string call;
            std::vector<int> numbers;
        } streams[] = {{"write", stream_calls(calls, "write")},
                       {"sendfile", stream_calls(calls, "sendfile")}};
        ASSERT_GE(streams[0].numbers.size(), 3u) << calls;
        ASSERT_EQ(streams[1].numbers.empty(), !l.second_link) << calls;
        for (const auto &stream : streams) {
            const std::vector<int> &n = stream.numbers;
            if (n.empty())
                continue;
            const struct {
                const char *which;
                int number;
            } picks[] = {{"first", n.front()}, {"middle", n[n.size() / 2]}, {"last", n.back()}};
            for (const auto &pick : picks) {
                set_up();
                const std::string inject =
                    "inject=" + stream.call + ":error=EIO:when=" + std::to_string(pick.number);
                const run_result r =
                    traced({"-o", "/dev/null", "-e", "trace=" + stream.call, "-e", inject},
                           {"250", out}, dir + "/input");
                const std::string what =
                    std::string(l.what) + ", the " + pick.which + " " + stream.call + " failing";
                EXPECT_EQ(r.status, 1) << what;
                EXPECT_EQ(r.out, banner() + prompt) << what;
                EXPECT_EQ(r.err, "Error saving bitmap -- aborting...\n: Input/output error\n")
                    << what;
                EXPECT_EQ(names_in(dir), listing) << what << ": nothing left beside it";
                if (stream.call == "write" || pick.number == n.front()) {
                    EXPECT_TRUE(read_file(out) == (l.existing ? "the old picture" : "")) << what;
                }
            }
        }
    }

    // A disk that fills up under the new file, or a full directory with no room for the
    // replacement's temporary name (ext4 needs a new block for it), fails the save as a plain
    // write would, though the old file's own blocks could have held the picture; and so does a
    // new file whose data cannot be synced before it takes the name. A close that reports a
    // failed write (NFS does) fails it too, though the new picture has the name by then.
    const struct {
        const char *what;
        bool existing;
        const char *inject; // the picture's second write, its file's close, or the first call
        const char *error;
        const char *reason;
    } full[] = {{"a new file", false, "write", "ENOSPC", "No space left on device"},
                {"a replacement", true, "write", "ENOSPC", "No space left on device"},
                {"a replacement's temporary name", true, "linkat", "ENOSPC",
                 "No space left on device"},
                {"a new file's sync", false, "fsync", "EIO", "Input/output error"},
                {"a new file's close", false, "close", "EIO", "Input/output error"}};
    for (const auto &f : full) {
        const std::string inject = f.inject;
        std::remove(out.c_str());
        std::remove(other.c_str());
        if (f.existing)
            write_file(out, std::string(700000, 'o'));
        ASSERT_EQ(
            traced({"-o", log, "-e", "trace=write,close"}, {"250", out}, dir + "/input").status, 0);
        const std::vector<int> n = stream_calls(read_file(log), inject);
        const std::string picture = read_file(out);
        std::remove(log.c_str());
        std::remove(out.c_str());
        if (f.existing)
            write_file(out, std::string(700000, 'o'));
        const int when = inject == "write" ? n.at(1) : inject == "close" ? n.at(0) : 1;
        const run_result r =
            traced({"-o", "/dev/null", "-e", "trace=" + inject, "-e",
                    "inject=" + inject + ":error=" + f.error + ":when=" + std::to_string(when)},
                   {"250", out}, dir + "/input");
        EXPECT_EQ(r.status, 1) << f.what;
        EXPECT_EQ(r.err, std::string("Error saving bitmap -- aborting...\n: ") + f.reason + "\n")
            << f.what;
        const std::string old = f.existing ? std::string(700000, 'o') : "";
        EXPECT_TRUE(read_file(out) == (inject == "close" ? picture : old)) << f.what;
        EXPECT_EQ(names_in(dir).find(".vozk-render-"), std::string::npos) << f.what;
    }
}

// Where the tool cannot keep the picture unnamed until it is complete, and uses a named temporary
// file instead: on a file system without unnamed files (the hook fails the first one with
// EOPNOTSUPP), and without /proc to link one.
struct setting {
    const char *name;
    launch how;
};
const setting named_settings[] = {
    {"WithoutUnnamedFiles", {false, false, "", "", "", "open:.:95"}},
    {"WithoutProc", {true, true, "", "", "", ""}},
};

// A signal in the middle of the encode ends the run by that signal, and nothing of the new
// picture outlives it: not even SIGKILL leaves a file, as the picture has no name until it is
// complete. Where a named temporary file stands in, the signals that can be caught remove it.
// An ignored signal stays ignored.
void signals_leave_nothing(const std::string &dir, const launch &base,
                           const std::vector<int> &signals)
{
    const std::string text = random_bytes(300000, 2);
    write_file(dir + "/input", text);
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    const std::string out = dir + "/out.png";
    for (const int sig : signals)
        for (const bool ignored : {false, true}) {
            if (ignored && sig != SIGHUP)
                continue; // as under nohup
            const std::string what = std::string(strsignal(sig)) + (ignored ? ", ignored" : "");
            write_file(out, "the old picture");
            if (base.nobody) { // nobody's own, so that a new file can stand in for it
                ASSERT_EQ(chown(out.c_str(), nobody, nogroup), 0);
            }
            launch how = base;
            how.setup = ignored ? "trap '' " + std::to_string(sig) + ";" : "";
            how.hook_at = "write:3";
            how.hook_run = "kill -s " + std::to_string(sig) + " $VOZK_PID";
            const run_result r = run_tool(how, {"250", out}, dir + "/input");
            if (ignored) {
                EXPECT_EQ(r.status, 0) << what << ": " << r.err;
                EXPECT_EQ(compare(read_png(out), expected_picture(text, 250)), "") << what;
            } else {
                EXPECT_EQ(r.signal, sig) << what << ": " << r.status << " " << r.err;
                EXPECT_TRUE(read_file(out) == "the old picture") << what << ": it was replaced";
            }
            EXPECT_EQ(names_in(dir), "input\nout.png\n") << what;
        }
}

TEST_F(Faults, SignalsLeaveNothingBehind)
{
    signals_leave_nothing(
        dir, launch(),
        {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGABRT, SIGKILL});
}

// A signal that comes while a file is written in place waits for the copy: the run then ends by
// it, and the file holds the whole new picture, not a part of it.
TEST_F(Faults, ACopyInPlaceIsFinishedFirst)
{
    const std::string text = random_bytes(300000, 2);
    write_file(dir + "/input", text);
    const std::string out = dir + "/out.png";
    write_file(out, "the old picture");
    ASSERT_EQ(link(out.c_str(), (dir + "/other.png").c_str()), 0);
    launch how;
    how.hook_at = "sendfile:1";
    how.hook_run = "kill -s TERM $VOZK_PID";
    const run_result r = run_tool(how, {"250", out}, dir + "/input");
    EXPECT_EQ(r.signal, SIGTERM) << r.status << " " << r.err;
    EXPECT_EQ(compare(read_png(out), expected_picture(text, 250)), "");
}

class Named : public Cli, public ::testing::WithParamInterface<setting>
{
};

void PrintTo(const setting &s, std::ostream *os)
{
    *os << s.name;
}

TEST_P(Named, SignalsLeaveNothingBehind)
{
    const std::string why = cannot_launch(GetParam().how);
    if (!why.empty())
        GTEST_SKIP() << why;
    signals_leave_nothing(dir, GetParam().how,
                          {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGPIPE, SIGIO, SIGPWR});
}

TEST_P(Named, RealTimeSignalsLeaveNothingBehind)
{
    if (!std::string(VOZK_EMULATOR).empty())
        GTEST_SKIP() << "qemu-user keeps real-time signals for itself and renumbers those sent "
                        "from outside it, so the tool is sent another signal than this one";
    const std::string why = cannot_launch(GetParam().how);
    if (!why.empty())
        GTEST_SKIP() << why;
    signals_leave_nothing(dir, GetParam().how, {SIGRTMIN, SIGRTMAX});
}

// The signals of a crash, sent from outside as any other.
TEST_P(Named, CrashSignalsLeaveNothingBehind)
{
    if (sanitized())
        GTEST_SKIP() << "the sanitizers take SIGSEGV, SIGBUS and SIGFPE for a crash to report";
    const std::string why = cannot_launch(GetParam().how);
    if (!why.empty())
        GTEST_SKIP() << why;
    signals_leave_nothing(dir, GetParam().how, {SIGSEGV, SIGBUS, SIGFPE});
}

// The save decides once, on descriptors, and never writes where a name changed by someone else
// since would lead: a link planted at the name is replaced as an entry, or the run fails, but it
// is never followed. Each change is made by a hook at the very call after which it would do harm.
TEST_F(Faults, NamesAreDecidedOnce)
{
    const std::string out = dir + "/out.png";
    const std::string victim = dir + "/victim.png";
    const struct {
        const char *what;
        bool existing;
        bool second_link;
        const char *at;     // where the hook acts
        const char *run;    // what it changes, in the directory
        const char *reason; // why the save fails, or null when it succeeds
    } cases[] = {
        {"a link planted once the file was opened", true, false, "open:out.png",
         "mv out.png moved.png && ln -s victim.png out.png", nullptr},
        {"a link planted at a free name once it was looked at", false, false, "stat:out.png",
         "ln -s victim.png out.png", nullptr},
        {"a directory put in place of the file before the rename", true, false, "fsync:1",
         "mv out.png moved.png && mkdir out.png", "Is a directory"},
        {"the file removed between the look and the open", true, false, "stat:out.png",
         "rm out.png", nullptr},
        {"a link planted between the look and the open", true, false, "stat:out.png",
         "mv out.png moved.png && ln -s victim.png out.png", "Too many levels of symbolic links"},
    };
    write_file(dir + "/input", "HELLO\n");
    for (const auto &c : cases) {
        EXPECT_EQ(std::system(("cd '" + dir + "' && rm -rf out.png moved.png other.png").c_str()),
                  0);
        write_file(victim, "the victim");
        ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
        if (root()) {
            ASSERT_EQ(chown(victim.c_str(), nobody, nogroup), 0);
        }
        if (c.existing)
            write_file(out, "the old picture");
        if (c.second_link) {
            ASSERT_EQ(link(out.c_str(), (dir + "/other.png").c_str()), 0);
        }
        struct stat before;
        ASSERT_EQ(stat(victim.c_str(), &before), 0);
        launch how;
        how.hook_at = c.at;
        how.hook_run = std::string("cd '") + dir + "' && " + c.run;
        const run_result r = run_tool(how, {"3", out}, dir + "/input");

        struct stat after;
        ASSERT_EQ(stat(victim.c_str(), &after), 0);
        EXPECT_TRUE(read_file(victim) == "the victim") << c.what << ": the victim was written";
        EXPECT_TRUE(after.st_ino == before.st_ino && after.st_uid == before.st_uid &&
                    after.st_mode == before.st_mode && after.st_nlink == before.st_nlink)
            << c.what << ": the victim's inode, owner, mode and links";
        if (c.reason) {
            EXPECT_EQ(r.status, 1) << c.what;
            EXPECT_EQ(r.err,
                      std::string("Error saving bitmap -- aborting...\n: ") + c.reason + "\n")
                << c.what;
        } else {
            EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
            struct stat st;
            EXPECT_TRUE(lstat(out.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                << c.what << ": the link was replaced, not followed";
            EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "") << c.what;
        }
        for (const char *kept : {"/moved.png", "/other.png"})
            if (exists(dir + kept)) {
                EXPECT_TRUE(read_file(dir + kept) == "the old picture") << c.what << ": " << kept;
            }
        EXPECT_EQ(names_in(dir).find(".vozk-render-"), std::string::npos) << c.what;
    }
}

// Links and files are opened only by the kernel, as a create opens them, so that its rules for
// sticky world-writable directories hold as for a plain write: another user's link there is not
// followed (fs.protected_symlinks), whether it leads to a file or to none yet, and another user's
// file there is not written (fs.protected_regular), though its mode would let us.
TEST_F(Faults, TheKernelsRulesForStickyDirectoriesHold)
{
    if (!root())
        GTEST_SKIP() << "needs root to set the kernel's rules and to give files away";
    launch as_nobody;
    as_nobody.nobody = true;
    const std::string why = cannot_launch(as_nobody);
    if (!why.empty())
        GTEST_SKIP() << why;
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const std::string sticky = dir + "/sticky";
    ASSERT_EQ(mkdir(sticky.c_str(), 0777), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    write_file(dir + "/target.png", "the target");
    write_file(dir + "/input", "HELLO\n");
    const uid_t other = 1234; // owns neither the directory nor the run
    const struct {
        const char *knob;
        const char *link_to; // the name is nobody's link to this; null: other's file, mode 0666
        bool nobody;         // who runs the tool: nobody, or root
    } cases[] = {
        {"protected_symlinks", "../target.png", false},
        {"protected_symlinks", "../new.png", false},
        {"protected_regular", nullptr, true},
    };
    const std::string name = sticky + "/out.png";
    for (const auto &c : cases) {
        const std::string knob = std::string("/proc/sys/fs/") + c.knob;
        const std::string was = read_file(knob);
        write_file(knob, "1");
        if (read_file(knob) != "1\n")
            GTEST_SKIP() << "cannot set fs." << c.knob << " here";
        std::remove(name.c_str());
        if (c.link_to) {
            EXPECT_EQ(symlink(c.link_to, name.c_str()), 0);
            EXPECT_EQ(lchown(name.c_str(), nobody, nogroup), 0);
        } else {
            write_file(name, "another user's file");
            EXPECT_EQ(chmod(name.c_str(), 0666), 0);
            EXPECT_EQ(chown(name.c_str(), other, other), 0);
        }
        launch how;
        how.nobody = c.nobody;
        const run_result r = run_tool(how, {"3", name}, dir + "/input");
        write_file(knob, was);
        EXPECT_EQ(r.status, 1) << c.knob;
        EXPECT_EQ(r.err, "Error saving bitmap -- aborting...\n: Permission denied\n") << c.knob;
        if (!c.link_to) {
            EXPECT_TRUE(read_file(name) == "another user's file") << "it was written";
        }
    }
    EXPECT_EQ(read_file(dir + "/target.png"), "the target");
    EXPECT_FALSE(exists(dir + "/new.png"));
}

// A path that cannot be written is refused before the picture is drawn, with the reason the save
// would give, and nothing is made or changed. The picture here is far too large for memory: had
// the path been looked at only when saving, that would have been the refusal.
TEST_F(Faults, BadPathsAreRefusedBeforeDrawing)
{
    write_file(dir + "/input", std::string(166665, '\n') + "A");
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    write_file(dir + "/file", "a file");
    ASSERT_EQ(mkdir((dir + "/adir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/ro").c_str(), 0555), 0);
    write_file(dir + "/protected.png", "the old picture");
    ASSERT_EQ(chmod((dir + "/protected.png").c_str(), 0444), 0);
    ASSERT_EQ(symlink("loop.png", (dir + "/loop.png").c_str()), 0);
    const std::string listing = names_in(dir);
    const std::string gone = "cd '" + dir + "' && mkdir -m 777 gone && cd gone && rmdir ../gone;";
    const struct {
        std::string path;
        const char *reason;
        std::string setup; // run first, in the shell that starts the tool
    } cases[] = {
        {dir + "/no/such/x.png", "No such file or directory", ""},
        {dir + "/file/x.png", "Not a directory", ""},
        {dir + "/adir", "Is a directory", ""},
        {dir + "/new.png/", "Is a directory", ""},
        {dir + "/ro/x.png", "Permission denied", ""},
        {dir + "/protected.png", "Permission denied", ""},
        {"x.png", "No such file or directory", gone}, // in a directory that has been removed
        {"", "No such file or directory", ""},
        {dir + "/loop.png", "Too many levels of symbolic links", ""},
    };
    for (const auto &c : cases) {
        launch how;
        how.setup = c.setup;
        how.nobody = root(); // root may write anything
        const run_result r = run_tool(how, {"250000", c.path}, dir + "/input");
        EXPECT_EQ(r.status, 1) << c.path;
        EXPECT_EQ(r.out, banner() + prompt) << c.path;
        EXPECT_EQ(r.err, std::string("Error saving bitmap -- aborting...\n: ") + c.reason + "\n")
            << c.path;
        EXPECT_EQ(names_in(dir), listing) << c.path;
        EXPECT_EQ(names_in(dir + "/ro"), "") << c.path;
        EXPECT_EQ(read_file(dir + "/protected.png"), "the old picture") << c.path;
    }
}

// With standard error closed, no file the tool opens takes its number, so that a message meant
// for it can never land in the picture's file: while the files are open (at the first sync), 2
// is /dev/null.
TEST_F(Faults, AClosedStandardErrorLendsItsNumberToNoFile)
{
    const std::string out = dir + "/out.png";
    write_file(dir + "/input", "HELLO\n");
    for (const int existing : {0, 1, 2}) { // none, one to replace, one with a second link
        std::remove(out.c_str());
        std::remove((dir + "/other.png").c_str());
        if (existing)
            write_file(out, "the old picture");
        if (existing == 2) {
            ASSERT_EQ(link(out.c_str(), (dir + "/other.png").c_str()), 0);
        }
        launch how;
        how.setup = "exec 2>&-;";
        how.hook_at = "fsync:1";
        how.hook_run = "readlink /proc/$VOZK_PID/fd/2 > '" + dir + "/fd2'";
        const run_result r = run_tool(how, {"3", out}, dir + "/input");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_file(dir + "/fd2"), "/dev/null\n") << existing;
        EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "");
    }
}

// Paths as long as open(2) takes them: 4,095 bytes at most, however long the directory part.
TEST_F(Faults, PathsAsLongAsOpenTakes)
{
    std::string deep = dir;
    while (deep.size() < 4080) {
        deep += "/" + std::string(std::min<size_t>(200, 4080 - deep.size() - 1), 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0) << deep.size();
    }
    ASSERT_EQ(deep.size(), 4080u);
    const struct {
        size_t length;
        const char *reason; // null: written
    } cases[] = {{4090, nullptr}, {4095, nullptr}, {4096, "File name too long"}};
    for (const auto &c : cases) {
        const std::string out = deep + "/" + std::string(c.length - deep.size() - 5, 'p') + ".png";
        ASSERT_EQ(out.size(), c.length);
        const run_result r = run({"3", out}, "HELLO\n");
        if (c.reason) {
            EXPECT_EQ(r.status, 1) << c.length;
            EXPECT_EQ(r.err,
                      std::string("Error saving bitmap -- aborting...\n: ") + c.reason + "\n");
        } else {
            EXPECT_EQ(r.status, 0) << c.length << ": " << r.err;
            EXPECT_EQ(r.out, banner() + prompt + success(12, 18, out));
            EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "") << c.length;
        }
    }
}

// Where a named temporary file stands in for the unnamed one, it is made as a create makes a
// file, and removed if the run fails.
TEST_P(Named, TemporaryFileServes)
{
    launch how = GetParam().how;
    const std::string why = cannot_launch(how);
    if (!why.empty())
        GTEST_SKIP() << why;
    write_file(dir + "/input", "HELLO\n");
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    const std::string out = dir + "/out.png";
    how.setup = "umask 027;";
    run_result r = run_tool(how, {"3", out}, dir + "/input");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(mode_of(out), 0640u);
    EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "");

    // A file of the caller's own is replaced, keeping its mode.
    write_file(out, "the old picture");
    if (how.nobody) {
        ASSERT_EQ(chown(out.c_str(), nobody, nogroup), 0);
    }
    ASSERT_EQ(chmod(out.c_str(), 0604), 0);
    struct stat before, after;
    ASSERT_EQ(stat(out.c_str(), &before), 0);
    r = run_tool(how, {"3", out}, dir + "/input");
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(stat(out.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(mode_of(out), 0604u);
    EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "");

    // One that a new file cannot stand in for (an attribute of its own) is written in place, and
    // the temporary file made to find that out goes.
    if (setxattr(out.c_str(), "user.origin", "kept", 4, 0) == 0) {
        ASSERT_EQ(stat(out.c_str(), &before), 0);
        r = run_tool(how, {"3", out}, dir + "/input");
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(stat(out.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << "written in place";
        EXPECT_EQ(names_in(dir), "input\nout.png\n");
    } else {
        std::printf("skipped a file with an attribute: %s\n", std::strerror(errno));
    }

    // A failure removes it.
    how.setup = "trap '' XFSZ; ulimit -f 1;";
    write_file(dir + "/input", random_bytes(100000, 7));
    r = run_tool(how, {"250", dir + "/new.png"}, dir + "/input");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error saving bitmap -- aborting...\n: File too large\n");
    EXPECT_EQ(names_in(dir), "input\nout.png\n");

    // Nor is one left in an append-only directory, where no name can be removed or renamed.
    const std::string kept = dir + "/append-only";
    ASSERT_EQ(mkdir(kept.c_str(), 0777), 0);
    ASSERT_EQ(chmod(kept.c_str(), 0777), 0);
    if (std::system(("chattr +a '" + kept + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "no append-only directories on this file system";
    how.setup = "";
    r = run_tool(how, {"3", kept + "/new.png"}, dir + "/input");
    EXPECT_EQ(std::system(("chattr -a '" + kept + "'").c_str()), 0);
    EXPECT_EQ(names_in(kept), r.status == 0 ? "new.png\n" : "");
    if (r.status != 0) {
        EXPECT_EQ(r.err, "Error saving bitmap -- aborting...\n: Operation not permitted\n");
    }
}

// A private file replaced through a named temporary file: the name that will hold its new
// picture is never open to others, not even in the instant before it gets the old file's mode.
TEST_P(Named, APrivateFileStaysPrivate)
{
    launch how = GetParam().how;
    const std::string why = cannot_launch(how);
    if (!why.empty())
        GTEST_SKIP() << why;
    write_file(dir + "/input", "HELLO\n");
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    const std::string out = dir + "/out.png";
    for (const mode_t mode : {0600, 0640}) {
        write_file(out, "the old picture");
        if (how.nobody) {
            ASSERT_EQ(chown(out.c_str(), nobody, nogroup), 0);
        }
        ASSERT_EQ(chmod(out.c_str(), mode), 0);
        how.setup = "umask 000;";
        how.hook_at = "open:.vozk-render-*";
        how.hook_run = "cd '" + dir + "' && stat -c %a .vozk-render-* > modes";
        const run_result r = run_tool(how, {"3", out}, dir + "/input");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_file(dir + "/modes"), "600\n") << "the temporary file as it was made";
        EXPECT_EQ(mode_of(out), mode);
        EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "");
        EXPECT_EQ(std::remove((dir + "/modes").c_str()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, Named, ::testing::ValuesIn(named_settings),
                         [](const ::testing::TestParamInfo<setting> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
