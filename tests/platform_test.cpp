// SPDX-License-Identifier: BSD-2-Clause
// What the system offers: each branch makes its own calls, and the move never replaces a file.
#include "platform.h"
#include "tool_run.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

TEST(Platform, AMoveNeverReplacesAFile)
{
    const std::string dir = make_scratch_directory();
    write_file(dir + "/hidden", "new");
    write_file(dir + "/taken", "old");
    int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(move_without_replacing(dir_fd, "hidden", "taken"), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(move_without_replacing(dir_fd, "hidden", "free"), 0);
    close(dir_fd);
    EXPECT_EQ(file_names(dir), (strings{"free", "taken"}));
    EXPECT_EQ(read_file(dir + "/free") + read_file(dir + "/taken"), "newold");
    remove_scratch_directory(dir);
}

// The calls seen under strace, and the C library's functions the binary needs, name the branch.
TEST(Platform, TheBinaryMakesOnlyItsBranchsCalls)
{
    if (!command_available("strace"))
        GTEST_SKIP() << "strace is missing (apt-get install strace)";
    const std::string dir = make_scratch_directory();
    mkdir((dir + "/out").c_str(), 0700);
    write_file(dir + "/mbox", "From a\nA\n\nFrom b\nB\n");
    ASSERT_EQ(run_tool({"mbox", "out", "-t", "-s"}, dir,
                       {.wrapper = {"strace", "-f", "-qq", "-o", dir + "/trace", "-e", "trace=open,openat,linkat,renameat2,syncfs"},
                        .environment = {"ASAN_OPTIONS=detect_leaks=0"}}).status, 0);
    const std::string trace = read_file(dir + "/trace");
    for (const char *call : {"O_PATH", "O_TMPFILE", "syncfs(", "AT_EMPTY_PATH"})
        EXPECT_EQ(trace.find(call) != std::string::npos, linux_branch) << call << " in\n" << trace;
    EXPECT_EQ(trace.find("renameat2("), std::string::npos) << "renameat2 is only for file systems without unnamed files";
    if (!linux_branch && tool_can_run({.environment = {"LD_PRELOAD="}})) { // a static binary has no dynamic symbols
        ASSERT_EQ(system(("nm -D --undefined-only " + tool_binary() + " >" + dir + "/symbols").c_str()), 0);
        const std::string symbols = read_file(dir + "/symbols");
        EXPECT_EQ(symbols.find("renameat2"), std::string::npos);
        EXPECT_EQ(symbols.find("syncfs"), std::string::npos);
    }
    remove_scratch_directory(dir);
}
