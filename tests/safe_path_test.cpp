// SPDX-License-Identifier: BSD-2-Clause
// Root converting paths that a user controls: what the user sets up to reach root's files through
// the tool is refused, and his ordinary set-ups keep working, for root and for him.
#include "tool_run.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::string_literals;

TEST(SafePath, OnlyLinksThatTheTargetsOwnerCouldHaveMadeAreFollowed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the tool as root on another user's paths";
    const std::string dir = make_scratch_directory(), home = dir + "/home", root_only = dir + "/root-only";
    const std::string mailbox = "From a\nA\n\nFrom b\nB\n", foreign = "Symbolic link owned by another user";
    const std::string foreign_folder = "Directory owned by another user";
    const uid_t user = 65534, other = 12345; // nobody, and a user with no name
    auto users = [&](const std::string &path, uid_t who = 65534) { EXPECT_EQ(lchown((dir + "/" + path).c_str(), who, who), 0); };
    auto renamed_in = [&](uid_t who) { write_file(home + "/mbox.new", mailbox); chmod((home + "/mbox.new").c_str(), 0600);
                                       users("home/mbox.new", who); rename((home + "/mbox.new").c_str(), (home + "/mbox").c_str()); };
    auto link_as_user = [&](const char *to, const std::string &path) { EXPECT_EQ(symlink(to, (dir + "/" + path).c_str()), 0); users(path); };
    auto shared_spool = [&](const char *name, uid_t owner) { mkdir((dir + "/mail").c_str(), 0755); chmod((dir + "/mail").c_str(), 01777);
                                                             write_file(dir + "/mail/" + name, mailbox); users("mail/"s + name, owner); };
    auto input = [](const std::string &why) { return "Unable to open input file: " + why + "\n"; };
    auto output = [](const std::string &why) {
        return "Unable to create output file: " + why + "\nError processing mail, terminating: " + why + "\n";
    };
    const tool_options as_user = {.wrapper = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"}};
    struct row {
        const char *name;
        std::function<void()> set_up; // beside the user's home/mbox and home/out
        strings args;
        std::string err; // empty: the conversion must work
        tool_options options = {};
    } rows[] = {
        {"mailbox: a link to root's file", [&] { unlink((home + "/mbox").c_str()); link_as_user("../root-only/secret", "home/mbox"); },
         {"home/mbox", "home/out", "-t"}, input(foreign)},
        {"mailbox: a hard link to root's file", [&] { unlink((home + "/mbox").c_str()); EXPECT_EQ(link((root_only + "/secret").c_str(), (home + "/mbox").c_str()), 0); },
         {"home/mbox", "home/out", "-t"}, input("File has more than one link")},
        {"mailbox: a FIFO", [&] { mkfifo((home + "/fifo").c_str(), 0666); users("home/fifo"); },
         {"home/fifo", "home/out", "-t"}, input("Not a regular file")},
        {"mailbox: another user's file renamed into his folder", [&] { renamed_in(other); },
         {"home/mbox", "home/out", "-t"}, input("Directory owned by another user")},
        {"mailbox: root's file renamed into his folder", [&] { renamed_in(0); },
         {"home/mbox", "home/out", "-t"}, input("Directory owned by another user")},
        {"an alias's mailbox in the alias's own folder", [&] { mkdir((dir + "/alias").c_str(), 0755); write_file(dir + "/alias/Mailbox", mailbox);
                                                               users("alias", other); users("alias/Mailbox", other); },
         {"alias/Mailbox", "home/out", "-t"}, ""},
        {"root's own mailbox in root's folder", [&] { write_file(dir + "/root-mbox", mailbox); },
         {"root-mbox", "home/out", "-t"}, ""},
        // Root's folders reached from his are refused before his link is looked at.
        {"output: a link to root's directory", [&] { link_as_user("../root-only/cur", "home/Maildir"); },
         {"home/mbox", "home/Maildir", "-t"}, output(foreign_folder)},
        {"output: a folder on its path a link to root's", [&] { link_as_user("../root-only", "home/Maildir"); },
         {"home/mbox", "home/Maildir/cur", "-t"}, output(foreign_folder)},
        {"output: root's link in his folder to root's directory", [&] { EXPECT_EQ(symlink("../root-only/cur", (home + "/Maildir").c_str()), 0); },
         {"home/mbox", "home/Maildir", "-t"}, output(foreign_folder)},
        {"output: root's directory in his folder", [&] { mkdir((home + "/Maildir").c_str(), 0755); },
         {"home/mbox", "home/Maildir", "-t"}, output(foreign_folder)},
        {"output: his directory that he may not write", [&] { chmod((home + "/out").c_str(), 0555); },
         {"home/mbox", "home/out", "-t"}, output("Permission denied")},
        {"root's link on the path", [&] { EXPECT_EQ(symlink("home", (dir + "/spool").c_str()), 0); },
         {"spool/mbox", "spool/out", "-t"}, ""},
        // Made as him, so never given to him: a fchown would fail the run.
        {"the user's links to his mailbox and maildir, as root", [&] { link_as_user("mbox", "home/inbox"); link_as_user("out", "home/Maildir"); },
         {"home/inbox", "home/Maildir", "-t"}, "", {.environment = {"LD_PRELOAD="s + FAULT_SHIM, "QUELVARON_FAULT=fchown"}}},
        {"the same, as the user", [&] { link_as_user("mbox", "home/inbox"); link_as_user("out", "home/Maildir"); },
         {"home/inbox", "home/Maildir", "-t"}, "", as_user},
        {"as the example systemd unit runs it: its capabilities only, no new privileges", [] {}, {"home/mbox", "home/out", "-t"}, "",
         {.wrapper = {"setpriv", "--bounding-set=-all,+setuid,+setgid,+dac_override,+dac_read_search,+fowner", "--no-new-privs"}}},
        {"the user's link into root's folder, to his own file",
         [&] { write_file(root_only + "/john", mailbox); users("root-only/john"); link_as_user("../root-only", "home/spool"); },
         {"home/spool/john", "home/out", "-t"}, ""},
        // Anyone may create a name in a 1777 spool, that of a user who has no mailbox yet among them.
        {"another's file planted in a shared spool", [&] { shared_spool("victim", other); },
         {"mail/victim", "home/out", "-t"}, output("Mailbox owned by another user")},
        {"another's link planted there, to a file in his folder",
         [&] { shared_spool("m", other); mkdir((dir + "/forger").c_str(), 0755); write_file(dir + "/forger/m", mailbox);
               users("forger", other); users("forger/m", other); EXPECT_EQ(symlink("../forger/m", (dir + "/mail/victim").c_str()), 0); users("mail/victim", other); },
         {"mail/victim", "home/out", "-t"}, output("Mailbox owned by another user")},
        {"his own file in a shared spool", [&] { shared_spool("john", user); }, {"mail/john", "home/out", "-t"}, ""},
        // The folder is his, and so is the file: only the spool above it tells that anyone made them.
        {"another's file in a folder he made in a shared spool",
         [&] { shared_spool("x", other); mkdir((dir + "/mail/d").c_str(), 0755); write_file(dir + "/mail/d/victim", mailbox);
               users("mail/d", other); users("mail/d/victim", other); },
         {"mail/d/victim", "home/out", "-t"}, output("Mailbox owned by another user")},
        {"his own mailbox in a spool of group mail, 2775", [&] { shared_spool("john", user); chmod((dir + "/mail").c_str(), 02775);
                                                                 EXPECT_EQ(chown((dir + "/mail").c_str(), 0, 8), 0); },
         {"mail/john", "home/out", "-t"}, ""},
        {"another's file in a shared spool, into root's directory", [&] { shared_spool("victim", other); mkdir((dir + "/archive").c_str(), 0755); },
         {"mail/victim", "archive", "-t"}, ""},
    };
    auto set_up_home = [&] {
        remove_scratch_directory(home);
        remove_scratch_directory(root_only);
        unlink((dir + "/spool").c_str());
        for (const char *folder : {"mail", "forger", "archive"})
            remove_scratch_directory(dir + "/" + folder);
        for (const std::string &folder : {home, home + "/out", root_only, root_only + "/cur"})
            mkdir(folder.c_str(), 0755);
        write_file(root_only + "/secret", mailbox);
        chmod((root_only + "/secret").c_str(), 0600);
        write_file(home + "/mbox", mailbox);
        for (const char *path : {"home", "home/out", "home/mbox"})
            users(path);
    };
    chmod(dir.c_str(), 0755);
    std::string skipped;
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        if (!row_can_run(r.options, r.name, skipped))
            continue;
        set_up_home();
        r.set_up();
        tool_result result = run_tool(r.args, dir, r.options);
        EXPECT_EQ(result.status, r.err.empty() ? 0 : 1);
        EXPECT_EQ(result.err, r.err);
        EXPECT_EQ(read_file(root_only + "/secret"), mailbox);
        EXPECT_TRUE(file_names(root_only + "/cur").empty());
        if (r.err.empty()) {
            const std::string out = dir + "/" + r.args[1];
            struct stat directory, status;
            ASSERT_EQ(stat(out.c_str(), &directory), 0);
            EXPECT_EQ(sorted_contents(out), (strings{"From a\nA\n", "From b\nB\n"}));
            for (const std::string &name : file_names(out)) { // the directory owner's, so that he may chmod them
                EXPECT_TRUE(stat((out + "/" + name).c_str(), &status) == 0 && status.st_uid == directory.st_uid &&
                            status.st_gid == directory.st_gid && (status.st_mode & 07777) == 0666) << name;
            }
        } else {
            EXPECT_EQ(result.out, "Processing " + r.args[0] + " to " + r.args[1] + "...\n");
            EXPECT_TRUE(file_names(home + "/out").empty());
            EXPECT_EQ(read_file(home + "/mbox"), mailbox);
        }
    }
    // The user swaps his maildir with a link to root's directory, again and again, while root
    // converts: a path checked, then used, would let some runs write into root's directory.
    set_up_home();
    link_as_user("../root-only/cur", "home/swap");
    pid_t swapper = fork();
    if (swapper == 0)
        for (;;)
            renameat2(AT_FDCWD, (home + "/out").c_str(), AT_FDCWD, (home + "/swap").c_str(), RENAME_EXCHANGE);
    for (int run = 0; run < 40; run++) { // each look at the name sees a directory or a link, never both
        std::string err = run_tool({"home/mbox", "home/out", "-s"}, dir).err;
        EXPECT_TRUE(err.empty() || err == output(foreign_folder)) << err;
    }
    kill(swapper, SIGKILL);
    waitpid(swapper, nullptr, 0);
    EXPECT_TRUE(file_names(root_only + "/cur").empty());
    remove_scratch_directory(dir);
    skipped_rows(skipped);
}
