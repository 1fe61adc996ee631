// End to end: what happens to the file at the output path.
#include "cli.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using Output = Cli;

// Bytes that make a large PNG, slow enough to encode to be caught half-way.
std::string random_bytes(size_t n, unsigned seed)
{
    std::string text(n, 'x');
    for (char &ch : text)
        ch = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
    return text;
}

mode_t mode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// 300 KB of random bytes make a PNG well over the 64 KiB that the file size limit lets out. With
// SIGXFSZ ignored the write fails and says so; otherwise the signal ends the run.
TEST_F(Output, SurvivesASaveThatFailsPartWay)
{
    write_file(dir + "/input", random_bytes(300000, 1));
    const std::string out = dir + "/out.png";
    for (const bool ignored : {true, false}) {
        write_file(out, "the old picture");
        chmod(out.c_str(), 0640);
        const std::string script =
            std::string(ignored ? "trap '' XFSZ; " : "") + "ulimit -f 64; exec \"$0\" 250 \"$1\"";
        const run_result r = run_program("/bin/sh", {"-c", script, tool, out}, dir + "/input");
        if (ignored) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "Error saving bitmap -- aborting...\n: File too large\n");
        } else {
            EXPECT_EQ(r.signal, SIGXFSZ);
        }
        EXPECT_EQ(read_file(out), "the old picture");
        EXPECT_EQ(mode_of(out), 0640u);
        EXPECT_EQ(read_file_list(), "input\nout.png\n") << "no temporary file left behind";
    }
}

TEST_F(Output, ReplacesAndCreatesWithTheRightModes)
{
    const std::string out = dir + "/out.png";
    for (const mode_t mode : {0600, 0604, 0755}) {
        write_file(out, "old");
        chmod(out.c_str(), mode);
        ASSERT_EQ(run({"3", out}, "HELLO\n").status, 0);
        EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "");
        EXPECT_EQ(mode_of(out), mode) << "a replaced file keeps its mode";
    }
    for (const char *mask : {"022", "027", "077"}) {
        std::remove(out.c_str());
        write_file(dir + "/input", "HELLO\n");
        const run_result r = run_program(
            "/bin/sh", {"-c", std::string("umask ") + mask + "; exec \"$0\" 3 \"$1\"", tool, out},
            dir + "/input");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(mode_of(out), 0666 & ~std::strtoul(mask, nullptr, 8)) << "umask " << mask;
    }
    EXPECT_EQ(read_file_list(), "input\nout.png\n");
}

TEST_F(Output, FollowsSymbolicLinks)
{
    ASSERT_EQ(mkdir((dir + "/real").c_str(), 0755), 0);
    const std::string kept = dir + "/real/kept.png";
    write_file(kept, "old");
    const std::string link = dir + "/link.png";
    const std::string dangling = dir + "/dangling.png";
    ASSERT_EQ(symlink("real/kept.png", link.c_str()), 0);
    ASSERT_EQ(symlink("real/new.png", dangling.c_str()), 0);
    for (const std::string &path : {link, dangling}) {
        const run_result r = run({"3", path}, "HELLO\n");
        EXPECT_EQ(r.status, 0) << r.err;
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << path << " is still a link";
        EXPECT_EQ(compare(read_png(path), expected_picture("HELLO\n", 3)), "") << path;
    }
    EXPECT_TRUE(exists(dir + "/real/new.png"));
}

TEST_F(Output, WritesDevicesAndPipesDirectly)
{
    const run_result r = run({"3", "/dev/null"}, "HELLO\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner() + prompt + success(12, 18, "/dev/null"));
    EXPECT_EQ(r.err, "");

    const std::string fifo = dir + "/fifo";
    const std::string copy = dir + "/copy.png";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    std::fflush(nullptr);
    const pid_t reader = fork();
    if (reader == 0) {
        write_file(copy, read_file(fifo));
        _exit(0);
    }
    EXPECT_EQ(run({"3", fifo}, "HELLO\n").status, 0);
    // A tool that never opened the FIFO would leave the reader waiting for a writer for ever.
    ASSERT_EQ(wait_for(reader, 10), 0) << "the FIFO's reader got no writer, or no end of file";
    EXPECT_EQ(compare(read_png(copy), expected_picture("HELLO\n", 3)), "");

    // A pipe behind /dev/stdout: the PNG follows the banner down the pipe.
    const run_result piped = run_program(
        "/bin/sh", {"-c", "{ \"$0\" 3 /dev/stdout; echo $? >&2; } | cat > \"$1\"", tool, copy},
        dir + "/input");
    EXPECT_EQ(piped.err, "0\n");
    EXPECT_NE(read_file(copy).find(":\x89PNG\r\n"), std::string::npos);
}

// Root may write anything, so the permission cases drop to nobody through setpriv; as anyone else
// they run as the caller.
const uid_t nobody = 65534;
const gid_t nogroup = 65534;

run_result run_as(bool drop, const std::vector<std::string> &args, const std::string &input)
{
    if (!drop || !root())
        return run_program(tool, args, input);
    std::vector<std::string> all = {"--reuid=65534", "--regid=65534", "--clear-groups", tool};
    all.insert(all.end(), args.begin(), args.end());
    return run_program("/usr/bin/setpriv", all, input);
}

// Owners, group, mode and links are what a plain write keeps, and so is the inode; a replacement
// keeps all but the inode. "ours" stands for whoever runs the tool.
TEST_F(Output, KeepsWhatAPlainWriteWouldKeep)
{
    const uid_t ours = static_cast<uid_t>(-1);
    const struct {
        const char *what;
        bool drop;       // run as nobody: the case involves another user, so it needs root
        mode_t dir_mode; // of the directory holding the file, which root owns
        uid_t uid;       // the existing file's owner and group
        gid_t gid;
        mode_t mode;
        bool second_link; // a hard link beside it
        bool attribute;   // an extended attribute on it
        bool in_place;    // written in place, keeping the inode
    } cases[] = {
        {"our own file", false, 0755, ours, ours, 0640, false, false, false},
        {"a second hard link", false, 0755, ours, ours, 0644, true, false, true},
        {"an extended attribute", false, 0755, ours, ours, 0644, false, true, true},
        {"another user's writable file", true, 0777, 0, 0, 0666, false, false, true},
        {"a group we are not in", true, 0777, nobody, 0, 0664, false, false, true},
        {"another user's file in a sticky directory", true, 01777, 0, 0, 0666, false, false, true},
        {"a directory we may not write", true, 0555, nobody, nogroup, 0644, false, false, true},
        {"root writing another user's file", false, 0755, nobody, nogroup, 0600, false, false,
         false},
    };
    write_file(dir + "/input", "HELLO\n");
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    int n = 0;
    for (const auto &c : cases) {
        const bool others = c.drop || c.uid != ours;
        if (others && (!root() || access("/usr/bin/setpriv", X_OK) != 0)) {
            std::printf("skipped \"%s\": needs root and setpriv to act as another user\n", c.what);
            continue;
        }
        const std::string sub = dir + "/case" + std::to_string(n++);
        ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
        const std::string out = sub + "/out.png";
        const std::string other = sub + "/other.png";
        write_file(out, "the old picture");
        ASSERT_EQ(chmod(out.c_str(), c.mode), 0);
        if (c.uid != ours) {
            ASSERT_EQ(chown(out.c_str(), c.uid, c.gid), 0);
        }
        if (c.second_link) {
            ASSERT_EQ(link(out.c_str(), other.c_str()), 0);
        }
        if (c.attribute && setxattr(out.c_str(), "user.origin", "kept", 4, 0) != 0) {
            std::printf("skipped \"%s\": no user attributes on this file system\n", c.what);
            continue;
        }
        ASSERT_EQ(chmod(sub.c_str(), c.dir_mode), 0);
        struct stat before, after;
        ASSERT_EQ(stat(out.c_str(), &before), 0);

        const run_result r = run_as(c.drop, {"3", out}, dir + "/input");
        EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
        EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "") << c.what;
        ASSERT_EQ(stat(out.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino == before.st_ino, c.in_place) << c.what;
        EXPECT_EQ(after.st_uid, before.st_uid) << c.what;
        EXPECT_EQ(after.st_gid, before.st_gid) << c.what;
        EXPECT_EQ(after.st_mode, before.st_mode) << c.what;
        EXPECT_EQ(after.st_nlink, before.st_nlink) << c.what;
        if (c.second_link) {
            EXPECT_EQ(read_file(other), read_file(out)) << "the other name shows the new picture";
        }
        if (c.attribute) {
            char value[8] = {};
            EXPECT_EQ(getxattr(out.c_str(), "user.origin", value, sizeof value), 4);
            EXPECT_STREQ(value, "kept");
        }
        EXPECT_EQ(names_in(sub).find(".vozk-render-"), std::string::npos) << c.what;
        chmod(sub.c_str(), 0755);
    }
}

// What open(2) would refuse is refused, and the file is left as it was; root may write it.
TEST_F(Output, WritesOnlyWhatOpenWouldWrite)
{
    const struct {
        const char *what;
        bool drop;
        mode_t dir_mode;
        mode_t mode; // of the file, owned by whoever runs the tool
        int status;
    } cases[] = {
        {"a write-protected file", true, 0755, 0444, 1},
        {"a write-protected file in a read-only directory", true, 0555, 0444, 1},
        {"a write-protected file, as root", false, 0755, 0444, 0},
    };
    write_file(dir + "/input", "HELLO\n");
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    int n = 0;
    for (const auto &c : cases) {
        if (!c.drop && !root()) {
            std::printf("skipped \"%s\": needs root\n", c.what);
            continue;
        }
        const std::string sub = dir + "/case" + std::to_string(n++);
        ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
        const std::string out = sub + "/out.png";
        write_file(out, "the old picture");
        ASSERT_EQ(chmod(out.c_str(), c.mode), 0);
        if (c.drop && root()) { // the file and its directory are nobody's own
            ASSERT_EQ(chown(out.c_str(), nobody, nogroup), 0);
            ASSERT_EQ(chown(sub.c_str(), nobody, nogroup), 0);
        }
        ASSERT_EQ(chmod(sub.c_str(), c.dir_mode), 0);

        const run_result r = run_as(c.drop, {"3", out}, dir + "/input");
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(mode_of(out), c.mode) << c.what;
        if (c.status == 0) {
            EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "") << c.what;
        } else {
            EXPECT_EQ(r.err, "Error saving bitmap -- aborting...\n: Permission denied\n");
            EXPECT_EQ(read_file(out), "the old picture") << c.what;
        }
        EXPECT_EQ(names_in(sub), "out.png\n") << c.what;

        // Nor may a new file be made where the directory forbids it.
        const run_result fresh = run_as(c.drop, {"3", sub + "/new.png"}, dir + "/input");
        if (c.dir_mode == 0555 && (c.drop || !root())) {
            EXPECT_EQ(fresh.status, 1);
            EXPECT_EQ(fresh.err, "Error saving bitmap -- aborting...\n: Permission denied\n");
            EXPECT_FALSE(exists(sub + "/new.png"));
        }
        chmod(sub.c_str(), 0755);
    }
}

// Starts the tool on input without waiting for it; what it prints goes nowhere.
pid_t start(const std::vector<std::string> &args, const std::string &input, bool ignore_hangup)
{
    std::vector<char *> argv = argv_of(tool, args);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (ignore_hangup)
            signal(SIGHUP, SIG_IGN); // as nohup does
        const int in = open(input.c_str(), O_RDONLY);
        const int null = open("/dev/null", O_WRONLY);
        dup2(in, 0);
        dup2(null, 1);
        dup2(null, 2);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

bool has_temp(const std::string &d)
{
    return names_in(d).find(".vozk-render-") != std::string::npos;
}

// An interrupt during the save removes the temporary file, leaves the old file as it was and
// ends the run by that very signal. An ignored signal stays ignored.
TEST_F(Output, InterruptsLeaveNothingBehind)
{
    const std::string text = random_bytes(300000, 2);
    write_file(dir + "/input", text);
    const std::string out = dir + "/out.png";
    const struct {
        int sig;
        bool ignored;
    } cases[] = {{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGHUP, true}};
    for (const auto &c : cases) {
        write_file(out, "the old picture");
        const pid_t pid = start({"250", out}, dir + "/input", c.ignored);
        bool saving = false; // the temporary file is there
        for (int i = 0; i < 60000 && !(saving = has_temp(dir)); i++)
            usleep(500);
        kill(pid, c.sig);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(saving) << "no temporary file seen";
        if (c.ignored) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            EXPECT_EQ(compare(read_png(out), expected_picture(text, 250)), "");
        } else {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << status;
            EXPECT_EQ(read_file(out), "the old picture");
        }
        EXPECT_FALSE(has_temp(dir)) << strsignal(c.sig);
    }
}

// Runs onto one path at once leave one whole picture of one of them, and nothing else: replacing
// the file, and writing it in place (a second link to it).
TEST_F(Output, ConcurrentRunsLeaveOneWholePicture)
{
    const int runs = 6;
    std::vector<std::string> texts;
    for (int k = 0; k < runs; k++) {
        texts.push_back(random_bytes(40000 + 1000 * k, 10 + k));
        write_file(dir + "/input" + std::to_string(k), texts.back());
    }
    const std::string out = dir + "/out.png";
    for (const bool linked : {false, true}) {
        write_file(out, "the old picture");
        if (linked) {
            ASSERT_EQ(link(out.c_str(), (dir + "/other.png").c_str()), 0);
        }
        std::vector<pid_t> pids;
        for (int k = 0; k < runs; k++)
            pids.push_back(start({"100", out}, dir + "/input" + std::to_string(k), false));
        for (const pid_t pid : pids) {
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        const picture got = read_png(out);
        int matches = 0;
        for (const std::string &text : texts)
            matches += compare(got, expected_picture(text, 100)).empty();
        EXPECT_EQ(matches, 1) << (linked ? "in place" : "replaced");
        EXPECT_FALSE(has_temp(dir));
    }
}

// A full file system leaves the old picture whole: a replacement is complete before it takes the
// name, and a file written in place has its space claimed before its first byte is overwritten
// (here the picture is encoded in /tmp, because nobody may write the directory).
TEST_F(Output, AFullFileSystemLeavesTheOldPicture)
{
    if (!root())
        GTEST_SKIP() << "needs root to mount a small file system";
    const std::string small = dir + "/small";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    write_file(dir + "/input", random_bytes(300000, 3)); // a PNG of about 1.7 MB
    const std::string old(100000, 'o');
    const struct {
        const char *what;
        bool second_link;
        bool drop;
    } cases[] = {
        {"replaced", false, false},
        {"in place, encoded beside it", true, false},
        {"in place, encoded in /tmp", false, true},
    };
    for (const auto &c : cases) {
        const std::string out = small + "/out.png";
        write_file(out, old);
        ASSERT_EQ(chmod(out.c_str(), 0666), 0);
        if (c.second_link) {
            ASSERT_EQ(link(out.c_str(), (small + "/other.png").c_str()), 0);
        }
        chmod(small.c_str(), c.drop ? 0555 : 0755);
        const run_result r = run_as(c.drop, {"250", out}, dir + "/input");
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, "Error saving bitmap -- aborting...\n: No space left on device\n")
            << c.what;
        EXPECT_TRUE(read_file(out) == old) << c.what << ": the old picture is damaged";
        EXPECT_EQ(names_in(small).find(".vozk-render-"), std::string::npos) << c.what;
        chmod(small.c_str(), 0755);
        std::remove((small + "/other.png").c_str());
    }
    umount2(small.c_str(), MNT_DETACH);
}

// The idiom for piping the picture: the PNG goes down descriptor 3, the messages elsewhere.
TEST_F(Output, PipesThePictureThroughAnotherDescriptor)
{
    write_file(dir + "/input", "HELLO\n");
    const std::string copy = dir + "/copy.png";
    const run_result r = run_program(
        "/bin/sh", {"-c", "\"$0\" 3 /dev/fd/3 3>&1 >/dev/null | cat > \"$1\"", tool, copy},
        dir + "/input");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(compare(read_png(copy), expected_picture("HELLO\n", 3)), "");
}

// After the rename the directory is synced, so that the new name survives a power cut as the
// data does. Only the system calls show it.
TEST_F(Output, SyncsTheDirectoryAfterTheRename)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs strace (Debian package strace)";
    write_file(dir + "/input", "HELLO\n");
    const std::string out = dir + "/out.png";
    const std::string log = dir + "/calls";
    const run_result r =
        run_program("/usr/bin/strace",
                    {"-o", log, "-E", "ASAN_OPTIONS=detect_leaks=0", // no leak checks under ptrace
                     "-e", "trace=rename,renameat,renameat2,openat,fsync", tool, "3", out},
                    dir + "/input");
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream calls(read_file(log));
    bool renamed = false;
    std::string directory_fd;
    bool synced = false;
    for (std::string line; std::getline(calls, line);) {
        if (line.find("rename") == 0 && line.find("\"" + out + "\"") != std::string::npos)
            renamed = line.find(") = 0") != std::string::npos;
        else if (renamed && line.find("openat(AT_FDCWD, \"" + dir + "\"") == 0 &&
                 line.find("O_DIRECTORY") != std::string::npos)
            directory_fd = line.substr(line.rfind(' ') + 1);
        else if (!directory_fd.empty() && line.find("fsync(" + directory_fd + ")") == 0)
            synced = line.compare(line.size() - 4, 4, " = 0") == 0; // strace pads the result
    }
    EXPECT_TRUE(renamed && synced) << read_file(log);
}

} // namespace
