// End to end: what happens to the file at the output path.
#include "cli.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using Output = Cli;

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
        EXPECT_TRUE(read_file(out) == "the old picture") << "the old picture is damaged";
        EXPECT_EQ(mode_of(out), 0640u);
        EXPECT_EQ(read_file_list(), "input\nout.png\n") << "no temporary file left behind";
    }
}

TEST_F(Output, ReplacesAndCreatesWithTheRightModes)
{
    const std::string out = dir + "/out.png";
    // A file of 3 GiB (sparse) is past what a 32-bit stat can tell.
    for (const auto &[mode, size] : {std::pair<mode_t, off_t>{0600, 3}, {0604, 3}, {0755, 3},
                                     {0644, off_t{3} << 30}}) {
        write_file(out, "old");
        ASSERT_EQ(truncate(out.c_str(), size), 0) << std::strerror(errno);
        chmod(out.c_str(), mode);
        const run_result r = run({"3", out}, "HELLO\n");
        ASSERT_EQ(r.status, 0) << size << ": " << r.err;
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
    const run_result full = run({"3", "/dev/full"}, "HELLO\n");
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.out, banner() + prompt);
    EXPECT_EQ(full.err, "Error saving bitmap -- aborting...\n: No space left on device\n");

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
run_result run_as(bool drop, const std::vector<std::string> &args, const std::string &input)
{
    launch how;
    how.nobody = drop && root();
    return run_tool(how, args, input);
}

// An attribute's value, or "" when the file has none.
std::string attribute(const std::string &path, const char *name)
{
    std::string value(1 << 16, '\0');
    const ssize_t len = getxattr(path.c_str(), name, &value[0], value.size());
    return value.substr(0, len > 0 ? static_cast<size_t>(len) : 0);
}

int inode_flags(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY);
    int flags = -1;
    if (fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
        flags = -1;
    if (fd >= 0)
        close(fd);
    return flags;
}

// Sets or clears an inode flag (chattr) on path.
bool set_flag(const std::string &path, int flag, bool on)
{
    const int fd = open(path.c_str(), O_RDONLY);
    int flags = 0;
    const bool set =
        fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
        (flags = on ? flags | flag : flags & ~flag, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    const int err = errno;
    if (fd >= 0)
        close(fd);
    errno = err;
    return set;
}

// Why setfacl cannot run args on path here, or empty when it did.
std::string set_acl(const std::string &args, const std::string &path)
{
    if (access("/usr/bin/setfacl", X_OK) != 0)
        return "needs setfacl (Debian package acl)";
    if (std::system(("setfacl " + args + " '" + path + "' 2>/dev/null").c_str()) != 0)
        return "no ACLs on this file system";
    return "";
}

// An existing file, and what a save must keep of it: owner, group, mode, links, attributes, ACLs
// and inode flags are what a plain write keeps, and so is the inode; a replacement keeps all but
// the inode, and is made only where it can keep all of it. "ours" is whoever runs the tool.
const uid_t ours = static_cast<uid_t>(-1);
struct kept_case {
    const char *name;
    bool drop;       // run as nobody: the case involves another user, so it needs root
    mode_t dir_mode; // of the directory holding the file, which root owns
    uid_t uid;       // the existing file's owner and group
    gid_t gid;
    mode_t mode;
    bool second_link;    // a hard link beside it
    const char *xattr;   // an extended attribute on it, name=value
    const char *acl;     // setfacl arguments for an access ACL on it
    const char *dir_acl; // setfacl arguments for the directory, such as a default ACL
    int flag;            // an inode flag on it (chattr)
    bool in_place;       // written in place, keeping the inode
    int dir_flag;        // an inode flag on the directory, set for the run only
    bool bind_mounted;   // the file mounted on itself for the run, so that no rename can replace it
};

const kept_case kept_cases[] = {
    {"OurOwnFile", false, 0755, ours, ours, 0640, false, nullptr, nullptr, nullptr, 0, false, 0,
     false},
    {"ASecondHardLink", false, 0755, ours, ours, 0644, true, nullptr, nullptr, nullptr, 0, true, 0,
     false},
    {"AUserAttribute", false, 0755, ours, ours, 0644, false, "user.origin=kept", nullptr, nullptr,
     0, true, 0, false},
    {"ASecurityLabelOfItsOwn", false, 0755, ours, ours, 0644, false,
     "security.selinux=system_u:object_r:vozk_test_t:s0", nullptr, nullptr, 0, true, 0, false},
    {"AnAccessAcl", false, 0755, ours, ours, 0640, false, nullptr, "-m u:65534:r", nullptr, 0, true,
     0, false},
    {"ADefaultAclOnTheDirectory", false, 0755, ours, ours, 0640, false, nullptr, nullptr,
     "-d -m u:65534:rwx,o::---", 0, true, 0, false},
    {"ANoDumpFlag", false, 0755, ours, ours, 0644, false, nullptr, nullptr, nullptr, FS_NODUMP_FL,
     true, 0, false},
    {"ASyncFlag", false, 0755, ours, ours, 0644, false, nullptr, nullptr, nullptr, FS_SYNC_FL, true,
     0, false},
    {"AnotherUsersWritableFile", true, 0777, 0, 0, 0666, false, nullptr, nullptr, nullptr, 0, true,
     0, false},
    {"AGroupWeAreNotIn", true, 0777, nobody, 0, 0664, false, nullptr, nullptr, nullptr, 0, true, 0,
     false},
    {"AnotherUsersFileInAStickyDirectory", true, 01777, 0, 0, 0666, false, nullptr, nullptr,
     nullptr, 0, true, 0, false},
    {"ADirectoryWeMayNotWrite", true, 0555, nobody, nogroup, 0644, false, nullptr, nullptr, nullptr,
     0, true, 0, false},
    {"RootWritingAnotherUsersFile", false, 0755, nobody, nogroup, 0600, false, nullptr, nullptr,
     nullptr, 0, false, 0, false},
    {"AnAppendOnlyDirectory", false, 0755, ours, ours, 0644, false, nullptr, nullptr, nullptr, 0,
     true, FS_APPEND_FL, false},
    {"OurOwnFileInAStickyDirectory", false, 01777, ours, ours, 0644, false, nullptr, nullptr,
     nullptr, 0, true, 0, false},
    {"ABindMountedFile", false, 0755, ours, ours, 0644, false, nullptr, nullptr, nullptr, 0, true,
     0, true},
};

void PrintTo(const kept_case &c, std::ostream *os)
{
    *os << c.name;
}

class Kept : public Cli, public ::testing::WithParamInterface<kept_case>
{
};

TEST_P(Kept, WhatAPlainWriteWouldKeep)
{
    const kept_case &c = GetParam();
    if (c.drop || c.uid != ours) {
        launch other;
        other.nobody = true;
        const std::string why = cannot_launch(other);
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    write_file(dir + "/input", "HELLO\n");
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const std::string sub = dir + "/sub";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    const std::string out = sub + "/out.png";
    const std::string other = sub + "/other.png";
    write_file(out, std::string(1000, 'o')); // longer than the picture, which must end the file
    ASSERT_EQ(chmod(out.c_str(), c.mode), 0);
    if (c.uid != ours) {
        ASSERT_EQ(chown(out.c_str(), c.uid, c.gid), 0);
    }
    if (c.second_link) {
        ASSERT_EQ(link(out.c_str(), other.c_str()), 0);
    }
    std::string xname, xvalue;
    if (c.xattr) {
        xname = std::string(c.xattr).substr(0, std::string(c.xattr).find('='));
        xvalue = std::string(c.xattr).substr(xname.size() + 1);
        if (setxattr(out.c_str(), xname.c_str(), xvalue.data(), xvalue.size(), 0) != 0)
            GTEST_SKIP() << "cannot set " << xname << " here: " << std::strerror(errno);
    }
    if (c.acl) {
        const std::string why = set_acl(c.acl, out);
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    if (c.dir_acl) { // after the file was made: it has no ACL of its own
        const std::string why = set_acl(c.dir_acl, sub);
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    if (c.flag && !set_flag(out, c.flag, true))
        GTEST_SKIP() << "no inode flags on this file system: " << std::strerror(errno);
    ASSERT_EQ(chmod(sub.c_str(), c.dir_mode), 0);
    struct stat before, after;
    ASSERT_EQ(stat(out.c_str(), &before), 0);
    const std::string acl_before = attribute(out, "system.posix_acl_access");
    const int flags_before = inode_flags(out);

    if (c.dir_flag && !set_flag(sub, c.dir_flag, true))
        GTEST_SKIP() << "cannot set the directory's inode flag: " << std::strerror(errno);
    if (c.bind_mounted && mount(out.c_str(), out.c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot bind-mount a file here: " << std::strerror(errno);
    const run_result r = run_as(c.drop, {"3", out}, dir + "/input");
    if (c.bind_mounted) {
        EXPECT_EQ(umount2(out.c_str(), MNT_DETACH), 0);
    }
    if (c.dir_flag)
        set_flag(sub, c.dir_flag, false);
    chmod(sub.c_str(), 0755);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(compare(read_png(out), expected_picture("HELLO\n", 3)), "");
    EXPECT_EQ(read_file(out).rfind("IEND") + 8, read_file(out).size()) << "old bytes after the PNG";
    ASSERT_EQ(stat(out.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino == before.st_ino, c.in_place) << "written in place";
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_nlink, before.st_nlink);
    EXPECT_EQ(attribute(out, "system.posix_acl_access"), acl_before) << "the ACL, or none";
    EXPECT_EQ(inode_flags(out), flags_before);
    if (c.second_link) {
        EXPECT_EQ(read_file(other), read_file(out)) << "the other name shows the new picture";
    }
    if (c.xattr) {
        EXPECT_EQ(attribute(out, xname.c_str()), xvalue);
    }
    EXPECT_EQ(names_in(sub).find(".vozk-render-"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Output, Kept, ::testing::ValuesIn(kept_cases),
                         [](const ::testing::TestParamInfo<kept_case> &info) {
                             return std::string(info.param.name);
                         });

// A new file gets what a plain create in its directory gets: the umask, and a default ACL.
TEST_F(Output, NewFilesGetWhatAPlainCreateGets)
{
    const std::string why = set_acl("-d -m u:65534:rwx,o::---", dir);
    if (!why.empty())
        GTEST_SKIP() << why;
    write_file(dir + "/input", "HELLO\n");
    const std::string out = dir + "/new.png";
    const std::string plain = dir + "/plain.png";
    for (const char *mask : {"022", "077"}) {
        std::remove(out.c_str());
        std::remove(plain.c_str());
        launch how;
        how.setup = std::string("umask ") + mask + "; : > '" + plain + "';";
        const run_result r = run_tool(how, {"3", out}, dir + "/input");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(mode_of(out), mode_of(plain)) << "umask " << mask;
        EXPECT_EQ(attribute(out, "system.posix_acl_access"),
                  attribute(plain, "system.posix_acl_access"))
            << "umask " << mask;
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
            EXPECT_TRUE(read_file(out) == "the old picture")
                << c.what << ": the old picture is damaged";
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

// Runs that replace one file at once all succeed and leave one whole picture of one of them, and
// nothing else.
TEST_F(Output, ConcurrentRunsLeaveOneWholePicture)
{
    const int runs = 6;
    std::vector<std::string> texts;
    for (int k = 0; k < runs; k++) {
        texts.push_back(random_bytes(40000 + 1000 * k, 10 + k));
        write_file(dir + "/input" + std::to_string(k), texts.back());
    }
    const std::string out = dir + "/out.png";
    write_file(out, "the old picture");
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
    EXPECT_EQ(matches, 1);
    EXPECT_FALSE(has_temp(dir));
}

// A full file system leaves the old picture whole: a replacement is complete before it takes the
// name, and a file written in place has its space claimed before its first byte is overwritten
// (here the picture is encoded in memory, because nobody may write the directory). A picture
// that would fit in the old file's own blocks, but not beside it as well, fails all the same.
TEST_F(Output, AFullFileSystemLeavesTheOldPicture)
{
    if (!root())
        GTEST_SKIP() << "needs root to mount a small file system";
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const std::string big = random_bytes(300000, 3);  // a PNG of about 1.7 MB
    const std::string fits = random_bytes(150000, 4); // about 0.86 MB
    write_file(dir + "/big", big);
    write_file(dir + "/fits", fits);
    const struct {
        const char *what;
        const char *size; // of the file system
        size_t old_size;  // of the file on it
        bool second_link;
        bool drop;
        const char *input;
    } cases[] = {
        {"replaced", "256k", 100000, false, false, "/big"},
        {"in place, encoded beside it", "256k", 100000, true, false, "/big"},
        {"in place, encoded in memory", "256k", 100000, false, true, "/big"},
        {"replaced, in the old file's blocks", "2m", 1500000, false, false, "/fits"},
        {"in place, in the old file's blocks", "2m", 1500000, true, false, "/fits"},
        {"in place, encoded beside it, crowding it out", "1536k", 300000, true, false, "/fits"},
    };
    const std::string small = dir + "/small";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    for (const auto &c : cases) {
        if (mount("tmpfs", small.c_str(), "tmpfs", 0, (std::string("size=") + c.size).c_str()) != 0)
            GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
        const std::string out = small + "/out.png";
        const std::string old(c.old_size, 'o');
        write_file(out, old);
        ASSERT_EQ(chmod(out.c_str(), 0666), 0);
        if (c.second_link) {
            ASSERT_EQ(link(out.c_str(), (small + "/other.png").c_str()), 0);
        }
        chmod(small.c_str(), c.drop ? 0555 : 0755);
        const run_result r = run_as(c.drop, {"250", out}, dir + c.input);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, "Error saving bitmap -- aborting...\n: No space left on device\n")
            << c.what;
        EXPECT_TRUE(read_file(out) == old) << c.what << ": the old picture is damaged";
        EXPECT_EQ(names_in(small).find(".vozk-render-"), std::string::npos) << c.what;
        EXPECT_EQ(umount2(small.c_str(), MNT_DETACH), 0);
    }
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

} // namespace
