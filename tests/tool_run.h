// SPDX-License-Identifier: BSD-2-Clause
// Helpers for tests that run the built binary in scratch directories.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

using strings = std::vector<std::string>;

// What the tool's standard descriptors are: files the test reads back, all three closed, or its
// output and errors on a pipe whose reader has gone (as in `quelvaron ... | true`).
enum class standard_streams { captured, closed, gone_reader };

struct tool_options {
    std::vector<std::string> wrapper = {};     // placed before the binary: fiu-run, setpriv, strace
    std::vector<std::string> environment = {}; // extra NAME=VALUE entries
    mode_t umask = 022;
    long long file_size_limit = -1;       // RLIMIT_FSIZE; -1 for none
    long long address_space_limit = -1;   // RLIMIT_AS; -1 for none
    long long data_limit = -1;            // RLIMIT_DATA; -1 for none
    standard_streams streams = standard_streams::captured;
};

// What a test sees of `lines` that a run with `options` printed: all of them where its streams
// were captured, else nothing.
std::string as_seen(const tool_options &options, const std::string &lines);

struct tool_result {
    int status; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// The binary the tests run: $QUELVARON_BINARY when it is set (another build of the tool, such as a
// static musl one), else the one built beside the tests.
std::string tool_binary();

// Whether a run with `options` can be made here: its wrapper command is there, and a library it
// preloads (the fault shim, fiu-run's) can be loaded, which a static binary can't do.
bool tool_can_run(const tool_options &options);

// For a table's row named `name`: true where a run with `options` can be made here; else adds the
// name to `skipped` and returns false. A test that skipped rows ends with skipped_rows().
bool row_can_run(const tool_options &options, const std::string &name, std::string &skipped);

// Reports the rows of `skipped` as a skip, with the reason, so that no row passes by not running.
#define skipped_rows(skipped)                                                                      \
    if (!(skipped).empty())                                                                        \
    GTEST_SKIP() << "rows not run here (their wrapper or preloaded library is missing, or the binary is static): " \
                 << (skipped)

// Starts the binary with `args` (its name not included) in `directory`; finish_tool() waits for it.
pid_t start_tool(const std::vector<std::string> &args, const std::string &directory,
                 const tool_options &options = {});
tool_result finish_tool(pid_t pid);

// Whether the process `pid` that start_tool() started is still running (not yet ended, reaped or
// not): for a test that waits for it to reach a point, so that the wait ends when it never will.
bool still_running(pid_t pid);
tool_result run_tool(const std::vector<std::string> &args, const std::string &directory,
                     const tool_options &options = {});

// A new private directory under $TMPDIR or /tmp, and its removal with everything in it.
std::string make_scratch_directory();
void remove_scratch_directory(const std::string &path);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &bytes);

// The names of the files in `directory`, sorted, a journal left for the next run included, and
// their contents sorted.
std::vector<std::string> file_names(const std::string &directory);
std::vector<std::string> sorted_contents(const std::string &directory);

// The contents of the files in `directory` but its journals, sorted; and the text of its journal:
// "none" where there is none, and "" for one emptied because it stopped serving.
std::vector<std::string> message_contents(const std::string &directory);
std::string journal_of(const std::string &directory);

// The messages of `mailbox`, found by a plain byte-by-byte reading of the mbox rule.
std::vector<std::string> reference_split(const std::string &mailbox);

// How much longer than on a quiet machine a test may wait for something to happen:
// QUELVARON_TEST_TIME_SCALE, else 1. Bounds only guard against hangs.
int time_scale();

// Whether a command that a test runs is on PATH. Where it is missing the test is to skip, except
// under CI (CI set), which installs it: there its absence is also recorded as a failure.
bool command_available(const std::string &name);

// A scratch directory holding the mailbox "mbox" (not made) and the empty directory "out".
class Conversion : public testing::Test {
protected:
    void SetUp() override
    {
        dir = make_scratch_directory();
        mkdir(out().c_str(), 0700);
    }
    void TearDown() override { remove_scratch_directory(dir); }
    std::string out() const { return dir + "/out"; }
    std::string mbox() const { return dir + "/mbox"; }
    static std::string summary(int count, long long bytes)
    {
        return "Processing mbox to out successful, " + std::to_string(count) + " messages (" +
               std::to_string(bytes) + " bytes) processed.\n";
    }
    std::string dir;
};
