// SPDX-License-Identifier: BSD-2-Clause
// The command line: option matching, the usage text, and which words turn what on.
#define main quelvaron_main
#include "../src/main.cpp"
#undef main

#include "tool_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

static const char expected_usage[] =
    "Quelvaron, Version 1.4 built: Oct 16 2026\n"
    "\n"
    "USAGE:   quelvaron <input mailbox file> <output maildir> [options]\n"
    "OPTIONS:\n"
    "         -t      - Truncate input Maildir file after successful conversion.\n"
    "         -s      - Silent mode (error reporting only).\n"
    "EXAMPLE: $ quelvaron /var/qmail/alias/Mailbox /home/john/Maildir/cur -s -eeml\n";

TEST(FindOption, MatchesLeadingCharactersOfTheFirstArgument)
{
    struct {
        const char *option;
        std::vector<std::string> arguments;
        int expected;
    } cases[] = {
        {"-t", {}, -1},
        {"-t", {"-t"}, 0},
        {"-t", {"x", "-truncate", "-t"}, 1},
        {"-t", {"-tx"}, 0},
        {"-t", {"-st"}, -1},
        {"-s", {"-st"}, 0},
        {"-t", {"-", "t", "-T", "-x", ""}, -1},
        {"-e", {"-s", "-eeml", "-embx"}, 1},
    };
    for (const auto &c : cases) {
        std::vector<char *> argv;
        for (const std::string &word : c.arguments)
            argv.push_back(const_cast<char *>(word.c_str()));
        EXPECT_EQ(find_option(c.option, int(argv.size()), argv.data()), c.expected)
            << c.option << " among " << testing::PrintToString(c.arguments);
    }
    char *one[] = {const_cast<char *>("-t")};
    EXPECT_EQ(find_option("-t", 0, one), -1);
    EXPECT_EQ(find_option("-t", -1, one), -1);
}

class CommandLine : public testing::Test {
protected:
    void SetUp() override { dir = make_scratch_directory(); }
    void TearDown() override { remove_scratch_directory(dir); }
    std::string dir;
};

TEST_F(CommandLine, TooFewArgumentsPrintTheUsageTextAndTouchNothing)
{
    for (std::vector<std::string> args : {std::vector<std::string>{}, {"mailbox"}}) {
        tool_result result = run_tool(args, dir);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, expected_usage);
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(file_names(dir).empty());
    }
}

TEST_F(CommandLine, OptionsAfterThePathsTurnOnTruncationAndSilence)
{
    struct {
        std::vector<std::string> options;
        bool truncates, silent;
        tool_options run = {};
    } cases[] = {
        {{}, false, false},
        {{"-t"}, true, false},
        {{"-tx"}, true, false},
        {{"-truncate", "-silent"}, true, true},
        {{"-ts"}, true, false},
        {{"-st"}, false, true},
        {{"-", "t", "-T", "-x", "-S"}, false, false},
        {{"-s", "-s", "-t", "-t"}, true, true},
        {{"extra", "-eeml", "words"}, false, false},
        {{"-t"}, true, false, {.streams = standard_streams::gone_reader}}, // | true: its lines are lost, nothing else
    };
    const std::string mailbox = "From a\nA\n\nFrom b\nB\n";
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        write_file(dir + "/mbox", mailbox);
        mkdir((dir + "/out").c_str(), 0700);
        std::vector<std::string> args = {"mbox", "out"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        tool_result result = run_tool(args, dir, c.run);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        std::string expected_out = "Processing mbox to out...\n";
        if (c.truncates)
            expected_out += "Input Mailbox truncated.\n";
        expected_out += "Processing mbox to out successful, 2 messages (19 bytes) processed.\n";
        EXPECT_EQ(result.out, c.silent ? "" : as_seen(c.run, expected_out));
        EXPECT_EQ(read_file(dir + "/mbox"), c.truncates ? "" : mailbox);
        EXPECT_EQ(sorted_contents(dir + "/out").size(), 2u);
        remove_scratch_directory(dir + "/out");
    }
}

TEST_F(CommandLine, TheFirstTwoArgumentsArePathsEvenWhenTheyLookLikeOptions)
{
    write_file(dir + "/-t", "From a\nA\n");
    mkdir((dir + "/in").c_str(), 0700);
    tool_result result = run_tool({"-t", "in", "out"}, dir);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Processing -t to in...\n"
                          "Processing -t to in successful, 1 messages (9 bytes) processed.\n");
    EXPECT_EQ(read_file(dir + "/-t"), "From a\nA\n");
    EXPECT_EQ(sorted_contents(dir + "/in"), std::vector<std::string>{"From a\nA\n"});
}
