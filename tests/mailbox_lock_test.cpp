// SPDX-License-Identifier: BSD-2-Clause
// The mailbox's locks: the tool waits for every kind of holder, and breaks a dead one's dot-file.
#include "tool_run.h"

#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

class MailboxLock : public Conversion {};

// Each holder takes its lock before the tool starts; the tool must wait, while the holder appends a
// message and lets go, and then convert all of it. A lock left by a dead program is broken, and
// where the tool can't make a dot-file the kernel locks do alone once another's is gone.
TEST_F(MailboxLock, ALockedMailboxIsWaitedForAndLeftAloneUntilReleased)
{
    const std::string lock = mbox() + ".lock", late = "\nFrom c\nC\n";
    auto open_mailbox = [&] { return open(mbox().c_str(), O_RDWR | O_APPEND | O_CLOEXEC); };
    auto append = [&](int fd) { return write(fd, late.data(), late.size()) == ssize_t(late.size()); };
    auto make_dot_lock = [&] { write_file(lock, "0\n"); return -1; };
    auto make_stale_dot_lock = [&] {
        make_dot_lock();
        struct timespec ten_minutes_ago[2] = {{time(nullptr) - 600, 0}, {time(nullptr) - 600, 0}};
        return utimensat(AT_FDCWD, lock.c_str(), ten_minutes_ago, 0);
    };
    auto append_and_close = [&](int fd) { return append(fd) && close(fd) == 0; };
    auto append_and_remove_dot_lock = [&](int) { return append_and_close(open_mailbox()) && unlink(lock.c_str()) == 0; };
    struct flock whole = {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = 0, .l_pid = 0};
    struct holder {
        const char *name;
        std::function<int()> take;         // returns a descriptor to hand to release, or -1
        std::function<bool(int)> release;  // appends a message and lets go; null: no holder
        tool_options options = {};
        std::string err = {};               // the run must end at once with this line, leaving all
    } holders[] = {
        {"flock", [&] { int fd = open_mailbox(); flock(fd, LOCK_EX); return fd; }, append_and_close},
        {"fcntl", [&] { int fd = open_mailbox(); fcntl(fd, F_SETLK, &whole); return fd; }, append_and_close},
        {"dot-file", make_dot_lock, append_and_remove_dot_lock},
        {"dot-file, then waiting for flock", make_dot_lock,
         [&](int) {
             int fd = open_mailbox();
             return flock(fd, LOCK_EX) == 0 && append_and_close(fd) && unlink(lock.c_str()) == 0;
         }},
        {"stale dot-file", make_stale_dot_lock, nullptr},
        {"another user's stale dot-file, which root may not break", [&] { make_stale_dot_lock(); return chown(lock.c_str(), 12345, 12345); },
         nullptr, {}, "Unable to lock input file: Lock file owned by another user\n"},
        {"dot-file of a process of this host that has exited", [&] {
             pid_t gone = fork();
             if (gone == 0)
                 _exit(0);
             waitpid(gone, nullptr, 0);
             char host[256] = "";
             gethostname(host, sizeof host - 1);
             write_file(lock, std::to_string(gone) + ":" + host + "\n");
             return -1;
         }, nullptr},
        {"dot-file in a directory the tool may not write", [&] {
             chmod(dir.c_str(), 0755);
             chmod(mbox().c_str(), 0666);
             chmod(out().c_str(), 0777);
             return make_dot_lock();
         },
         append_and_remove_dot_lock, {.wrapper = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"}}},
    };
    for (const holder &h : holders) {
        SCOPED_TRACE(h.name);
        if ((!h.options.wrapper.empty() || !h.err.empty()) && geteuid() != 0)
            continue;
        write_file(mbox(), "From a\nA\n\nFrom b\nB\n");
        int held = h.take();
        pid_t tool = start_tool({"mbox", "out", "-t"}, dir, h.options);
        if (h.release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            int status;
            EXPECT_EQ(waitpid(tool, &status, WNOHANG), 0) << "the tool did not wait for the lock";
            EXPECT_TRUE(file_names(out()).empty());
            EXPECT_TRUE(h.release(held));
        }
        tool_result result = finish_tool(tool);
        if (!h.err.empty()) {
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(result.err, h.err);
            EXPECT_EQ(read_file(mbox()), "From a\nA\n\nFrom b\nB\n");
            EXPECT_TRUE(file_names(out()).empty());
            EXPECT_EQ(unlink(lock.c_str()), 0) << "the lock was not left in place";
            continue;
        }
        EXPECT_EQ(result.status, 0) << result.err;
        strings expected = {"From a\nA\n", "From b\nB\n"};
        if (h.release)
            expected.push_back("From c\nC\n");
        EXPECT_EQ(result.out, "Processing mbox to out...\nInput Mailbox truncated.\n" +
                                  summary(int(expected.size()), h.release ? 29 : 19));
        EXPECT_EQ(sorted_contents(out()), expected);
        EXPECT_EQ(read_file(mbox()), "");
        EXPECT_EQ(file_names(dir), (strings{"mbox", "out"})) << "a lock file was left behind";
        chmod(dir.c_str(), 0700);
        remove_scratch_directory(out());
        mkdir(out().c_str(), 0700);
    }
}
