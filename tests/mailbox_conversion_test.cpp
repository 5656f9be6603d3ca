// SPDX-License-Identifier: BSD-2-Clause
// The mailbox conversion: the split, the console lines, the lock, the load, and emptying.
#include "mailbox_conversion.h"
#include "mailbox_cut.h"
#include "platform.h"
#include "tool_run.h"

#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace std::string_literals;

// Cuts `text` with the cut the conversion makes.
static strings split(std::string_view text)
{
    std::vector<std::size_t> starts;
    EXPECT_TRUE(cut_messages(text, UINT64_MAX, starts));
    strings messages;
    for (std::size_t i = 0; i < starts.size(); i++)
        messages.emplace_back(message_of(text, starts, i));
    return messages;
}

struct split_case {
    std::string mailbox;
    strings messages;
};

static const split_case split_cases[] = {
    {"From a\nA\n\nFrom b\nB\n\nFrom c\nC\n", {"From a\nA\n", "From b\nB\n", "From c\nC\n"}},
    {"From a\nA\n", {"From a\nA\n"}},
    {"X\nFrom b\nB", {"X", "From b\nB"}},
    {"\nFrom a\nA\n\nFrom b\nB\n", {"\nFrom a\nA\n", "From b\nB\n"}},
    {"From a\nA\n\nFrom ", {"From a\nA\n", "From "}},
    {"x", {"x"}},
    {"\n", {"\n"}},
    {"From a\nA\nFrom b\nB\n", {"From a\nA", "From b\nB\n"}},
    {"From a\r\nA\r\n\r\nFrom b\r\nB\r\n", {"From a\r\nA\r\n\r", "From b\r\nB\r\n"}},
    {"From a\nFromage\n\nFrom b\n", {"From a\nFromage\n", "From b\n"}},
    {"From a\n>From b\n\nFrom c\n", {"From a\n>From b\n", "From c\n"}},
    {"From a\n\nFrom\n\nFrom", {"From a\n\nFrom\n\nFrom"}},
    {"From a\n\nFrom \nFrom b", {"From a\n", "From ", "From b"}},
    // Zero bytes are ordinary bytes: nothing after one is lost.
    {"\0"s, {"\0"s}},
    {"From a\n\0\0A\n\nFrom b\0\nB\n"s, {"From a\n\0\0A\n"s, "From b\0\nB\n"s}},
    {"From a\nA\0\nFrom b\n"s, {"From a\nA\0"s, "From b\n"}},
};

TEST(Split, CutsBeforeEachNewlineFromBlank)
{
    for (const split_case &c : split_cases)
        EXPECT_EQ(split(c.mailbox), c.messages) << testing::PrintToString(c.mailbox);
}

TEST(FindOrEnd, ReturnsTheFirstWholeMatchOrTheLength)
{
    struct {
        std::string text;
        std::size_t expected;
    } cases[] = {
        {"", 0},         {"abc", 3},           {"\nFrom ", 0},          {"ab\nFrom x\nFrom ", 2},
        {"x\nFrom", 6},  {"\nFro\nFrom ", 4},  {"a\0\0\nFrom b"s, 3},  {"\nfrom \nFROM ", 12},
    };
    for (const auto &c : cases)
        EXPECT_EQ(find_or_end(c.text, message_separator), c.expected) << testing::PrintToString(c.text);
}

// Random mailboxes made of the pieces that matter to the split.
static std::string random_mailbox(std::mt19937 &random, int pieces)
{
    static const char *const alphabet[] = {"From ", "\n", "\r", "\0", "x", "From", "\n\n", ">From "};
    std::string mailbox;
    for (int i = 0; i < pieces; i++) {
        const char *piece = alphabet[random() % std::size(alphabet)];
        mailbox += piece[0] == '\0' ? "\0"s : std::string(piece);
    }
    return mailbox;
}

TEST(Split, MessagesJoinedWithNewlinesGiveBackTheMailbox)
{
    std::mt19937 random(20261209);
    for (int round = 0; round < 5000; round++) {
        std::string mailbox = random_mailbox(random, 1 + int(random() % 40));
        strings messages = split(mailbox);
        std::string joined;
        for (std::size_t i = 0; i < messages.size(); i++) {
            ASSERT_FALSE(messages[i].empty()) << testing::PrintToString(mailbox);
            if (i > 0) {
                ASSERT_EQ(messages[i].rfind("From ", 0), 0u) << testing::PrintToString(mailbox);
                joined += '\n';
            }
            joined += messages[i];
        }
        ASSERT_EQ(joined, mailbox);
        ASSERT_EQ(messages, reference_split(mailbox));
    }
}

TEST_F(Conversion, WritesEachMessageToItsOwnFileAndEmptiesOnRequest)
{
    for (const split_case &c : split_cases) {
        SCOPED_TRACE(testing::PrintToString(c.mailbox));
        write_file(mbox(), c.mailbox);
        tool_result result = run_tool({"mbox", "out", "-t"}, dir);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, "Processing mbox to out...\nInput Mailbox truncated.\n" +
                                  summary(int(c.messages.size()), (long long)c.mailbox.size()));
        strings expected = c.messages;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(sorted_contents(out()), expected);
        EXPECT_EQ(read_file(mbox()), "");
        remove_scratch_directory(out());
        mkdir(out().c_str(), 0700);
    }
}

TEST_F(Conversion, RandomMailboxesComeOutWholeThroughTheBinary)
{
    std::mt19937 random(1209);
    for (int round = 0; round < 40; round++) {
        std::string mailbox = random_mailbox(random, 1 + int(random() % 200));
        write_file(mbox(), mailbox);
        tool_result result = run_tool({"mbox", "out", "-s"}, dir);
        ASSERT_EQ(result.status, 0) << result.err;
        strings expected = reference_split(mailbox);
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(sorted_contents(out()), expected) << testing::PrintToString(mailbox);
        EXPECT_EQ(read_file(mbox()), mailbox);
        remove_scratch_directory(out());
        mkdir(out().c_str(), 0700);
    }
}

// Every file a run makes has its own mode, whatever the umask: message files 0666, also where the
// file system has no unnamed files (each is written under a hidden name first), where the kernel
// links them only through /proc, or where a default ACL narrows new files; the journal 0600, so that a user's rerun reads it; the dot-file 0644. The
// run is held at its first message file, its dot-file and journal made.
TEST_F(Conversion, EveryFileTheRunMakesGetsItsModeWhateverTheUmask)
{
    const struct {
        const char *name;
        mode_t umask;
        const char *faults;
        bool default_acl;
    } cases[] = {
        {"umask 0", 0, "hold", false},
        {"umask 022", 022, "hold", false},
        {"umask 0777", 0777, "hold", false},
        {"umask 0777, hidden files", 0777, "hold,tmpfile", false},
        {"linked through /proc, as before Linux 6.10", 0777, "hold,flink", false},
        {"a default ACL", 022, "hold", true},
    };
    const std::string hold = dir + "/hold";
    std::string skipped;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tool_options options = {.environment = {"LD_PRELOAD="s + FAULT_SHIM, "QUELVARON_FAULT="s + c.faults,
                                                "QUELVARON_HOLD=" + hold},
                                .umask = c.umask};
        remove_scratch_directory(out());
        mkdir(out().c_str(), 0700);
        if (!row_can_run(options, c.name, skipped))
            continue;
        if (c.default_acl && !(command_available("setfacl") &&
                               system(("setfacl -d -m u::rw,g::-,o::- " + out()).c_str()) == 0)) {
            skipped += std::string(c.name) + " (setfacl is missing, or this file system has no ACLs) ";
            continue;
        }
        write_file(mbox(), "From a\nA\n\nFrom a\nA\n\nFrom a\nA\n");
        write_file(hold, "");
        pid_t held = start_tool({"mbox", "out", "-t"}, dir, options);
        std::string journal;
        while (journal.empty() && still_running(held)) {
            for (const std::string &name : file_names(out()))
                if (name.rfind(".quelvaron-journal-", 0) == 0 && name.find('.', 1) == std::string::npos)
                    journal = name;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        struct stat status;
        ASSERT_EQ(stat((out() + "/" + journal).c_str(), &status), 0) << "no journal";
        EXPECT_EQ(status.st_mode & 07777, 0600u);
        ASSERT_EQ(stat((mbox() + ".lock").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0644u);
        unlink(hold.c_str());
        tool_result result = finish_tool(held);
        EXPECT_EQ(result.status, 0) << result.err;
        strings names = file_names(out());
        ASSERT_EQ(names.size(), 3u);
        for (const std::string &name : names) {
            EXPECT_EQ(name.size(), 15u);
            EXPECT_EQ(name.rfind("quelvaron", 0), 0u) << name;
            // Lower case only: "a" and "A" are one name on a case-insensitive file system.
            EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789"), std::string::npos) << name;
            ASSERT_EQ(stat((out() + "/" + name).c_str(), &status), 0);
            EXPECT_EQ(status.st_mode & 07777, 0666u) << name;
            EXPECT_EQ(read_file(out() + "/" + name), "From a\nA\n");
        }
    }
    skipped_rows(skipped);
}

// Readers order new files by name: each run's names follow the greatest one there, in mailbox
// order, also where unnamed files are refused and each is written under a hidden name first.
TEST_F(Conversion, NamesFollowTheMailboxOrderAfterTheNamesThere)
{
    const strings messages = {"From a\nA\n", "From b\nB\n", "From c\nC\n"};
    struct {
        const char *name;
        strings there; // before the two runs
        strings taken; // by the two runs, in order
    } rows[] = {
        {"an empty directory", {}, {"000000", "000001", "000002", "000003", "000004", "000005"}},
        {"after a name a reader renamed and a hidden one", {"quelvaron00000z:2,S", ".quelvaron000010", "quelvaronZZ", "x"},
         {"000011", "000012", "000013", "000014", "000015", "000016"}},
        // No name left above the greatest (capitals count as lower case): each run takes the
        // lowest gap that holds all its messages.
        {"after an earlier version's names", {"quelvaronZZZZZY", "quelvaron000000", "quelvaron000002"},
         {"000003", "000004", "000005", "000006", "000007", "000008"}},
    };
    write_file(mbox(), messages[0] + "\n" + messages[1] + "\n" + messages[2]);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        remove_scratch_directory(out());
        mkdir(out().c_str(), 0700);
        for (const std::string &name : row.there)
            write_file(out() + "/" + name, "x");
        ASSERT_EQ(run_tool({"mbox", "out"}, dir).status, 0);
        ASSERT_EQ(run_tool({"mbox", "out"}, dir, {.environment = {"LD_PRELOAD="s + FAULT_SHIM, "QUELVARON_FAULT=tmpfile"}}).status, 0);
        for (std::size_t i = 0; i < row.taken.size(); i++)
            EXPECT_EQ(read_file(out() + "/quelvaron" + row.taken[i]), messages[i % 3]) << row.taken[i];
        EXPECT_EQ(file_names(out()).size(), row.there.size() + row.taken.size());
    }
}

TEST_F(Conversion, SilentModePrintsNothingButErrors)
{
    write_file(mbox(), "From a\nA\n");
    tool_result result = run_tool({"mbox", "out", "-s", "-t"}, dir);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out + result.err, "");
    EXPECT_EQ(sorted_contents(out()), strings{"From a\nA\n"});
    result = run_tool({"missing", "out", "-s"}, dir);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Unable to open input file: No such file or directory\n");
}

TEST_F(Conversion, AnEmptyMailboxIsEmptiedEvenWithoutAnOutputDirectory)
{
    write_file(mbox(), "");
    tool_result result = run_tool({"mbox", "nowhere", "-t"}, dir);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "Processing mbox to nowhere...\nInput Mailbox truncated.\n"
                          "Processing mbox to nowhere successful, 0 messages (0 bytes) processed.\n");
}

// Each case: how the run is set up, its status, its error lines, what stdout ends with, and that
// the mailbox is kept byte for byte; the directory holds no message file, or, where only making
// the files durable failed, every message whole.
TEST_F(Conversion, FailuresLeaveTheMailboxAsItWas)
{
    const std::string mailbox = "From a\nA\n\nFrom b\nB\n";
    const std::string long_directory(70000, 'd');
    const std::string shim = "LD_PRELOAD="s + FAULT_SHIM;
#ifdef QUELVARON_SANITIZED
    // The sanitizer maps far more address space than any limit would leave; it limits malloc itself,
    // and its warning goes to a log file beside the mailbox.
    const tool_options allocation_limit = {.environment = {"ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=256:log_path=asan",
                                                           shim, "QUELVARON_FAULT=mmap"}};
#else
    const tool_options allocation_limit = {.address_space_limit = 256 << 20};
#endif
    struct failure_case {
        const char *name;
        strings args;
        tool_options options;
        std::string err;
        bool needs_root = false;
        bool all_written = false; // and the journal, which no longer vouches for them, emptied
        bool linux_only = false; // tests a call that only the Linux branch makes
    } cases[] = {
        {"missing input", {"missing", "out", "-t"}, {}, "Unable to open input file: No such file or directory\n"},
        {"missing output directory", {"mbox", "nowhere", "-t"}, {},
         "Unable to create output file: No such file or directory\n"
         "Error processing mail, terminating: No such file or directory\n"},
        {"name too long", {"mbox", long_directory, "-t"}, {},
         "Unable to create output file: File name too long\n"
         "Error processing mail, terminating: File name too long\n"},
        {"lock fails", {"mbox", "out", "-t"}, {.environment = {shim, "QUELVARON_FAULT=flock"}},
         "Unable to lock input file: Input/output error\n"},
        {"status fails", {"mbox", "out", "-t"}, {.environment = {shim, "QUELVARON_FAULT=fstat"}},
         "Unable to stat input file: Input/output error\n"},
        // Where the mailbox cannot be mapped, it is read whole.
        {"read fails", {"mbox", "out", "-t"}, {.environment = {shim, "QUELVARON_FAULT=mmap,read"}},
         "Unable to read input file: Input/output error\n"},
        {"file shorter than its size", {"mbox", "out", "-t"}, {.environment = {shim, "QUELVARON_FAULT=mmap,read-eof"}},
         "Unable to read input file: File is shorter than its size\n"},
        {"buffer cannot be allocated", {"big", "out", "-t"}, allocation_limit,
         "Cannot allocate buffer: Cannot allocate memory\n"},
        {"sync before emptying fails", {"mbox", "out", "-t"}, {.environment = {shim, "QUELVARON_FAULT=syncfs"}},
         "Unable to sync output directory: Input/output error\n", false, true, true},
        // The first fsync: the directory's after syncfs, or elsewhere the first file's.
        {"fsync fails", {"mbox", "out", "-t"},
         {.wrapper = {"fiu-run", "-x", "-c", "enable name=posix/io/sync/fsync,failinfo=5"}},
         linux_branch ? "Unable to sync output directory: Input/output error\n"
                      : "Unable to sync output file: Input/output error\nError processing mail, terminating: Input/output error\n",
         false, linux_branch},
        {"standard descriptors closed, no output directory", {"mbox", "nowhere", "-t"},
         {.streams = standard_streams::closed}, ""},
        {"read-only mailbox", {"mbox", "out"},
         {.wrapper = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"}},
         "Unable to open input file: Permission denied\n", true},
    };
    chmod(dir.c_str(), 0755);
    int big = open((dir + "/big").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(ftruncate(big, 1LL << 30), 0);
    close(big);
    std::string skipped;
    for (failure_case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!row_can_run(c.options, c.name, skipped))
            continue;
        if ((c.needs_root && geteuid() != 0) || (c.linux_only && !linux_branch))
            continue;
        write_file(mbox(), mailbox);
        chmod(mbox().c_str(), c.needs_root ? 0444 : 0644);
        tool_result result = run_tool(c.args, dir, c.options);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out, as_seen(c.options, "Processing " + c.args[0] + " to " + c.args[1] + "...\n"));
        EXPECT_EQ(read_file(mbox()), mailbox);
        if (!c.all_written) {
            EXPECT_TRUE(message_contents(out()).empty()); // a journal of a failed write may stay
        } else {
            EXPECT_EQ(sorted_contents(out()), (strings{"", "From a\nA\n", "From b\nB\n"}));
            // What may be in memory only is not taken as delivered: the rerun writes it again.
            EXPECT_EQ(run_tool({"mbox", "out", "-t", "-s"}, dir).status, 0);
            EXPECT_EQ(message_contents(out()), (strings{"From a\nA\n", "From a\nA\n", "From b\nB\n", "From b\nB\n"}));
            EXPECT_EQ(read_file(mbox()), "");
        }
        remove_scratch_directory(out());
        mkdir(out().c_str(), 0700);
    }
    // Memory refused at random, wherever the run asks for it: it ends as a failure, never by abort.
    const tool_options no_memory = {.wrapper = {"fiu-run", "-x", "-c", "enable_random name=libc/mm/malloc,probability=0.05"}};
    for (int run = 0; run < 50 && row_can_run(no_memory, run == 0 ? "memory refused at random" : "", skipped); run++) {
        write_file(mbox(), mailbox);
        tool_result result = run_tool({"mbox", "out", "-s", "-t"}, dir, no_memory);
        EXPECT_TRUE(result.status == 0 || (result.status == 1 && result.err.ends_with("Cannot allocate memory\n"))) << result.err;
        EXPECT_NE(access((mbox() + ".lock").c_str(), F_OK), 0);
        EXPECT_EQ(read_file(mbox()), result.status == 0 ? "" : mailbox);
    }
    skipped_rows(skipped);
}

// A program that ignores every lock cuts the mapped mailbox short, before it is cut into messages
// or while they are written: the run ends as a failed read, with no file holding a lost page's
// zeros and none hidden, the files before it kept, and the mailbox not emptied.
TEST_F(Conversion, AMailboxCutShortWhileItIsWrittenEndsTheRunAsAFailedRead)
{
    std::string mailbox;
    for (int i = 0; i < 9; i++)
        mailbox += "From " + std::to_string(i) + "\n" + std::string(i == 5 ? 20000 : 80, 'x') + "\n\n";
    const strings messages = reference_split(mailbox);
    std::string skipped;
    for (const auto &[fault, written] : {std::pair{"shrink", 5u}, {"shrink-before-cut", 0u}}) {
        SCOPED_TRACE(fault);
        const tool_options options = {.environment = {"LD_PRELOAD="s + FAULT_SHIM, "QUELVARON_FAULT="s + fault}};
        if (!row_can_run(options, fault, skipped))
            continue;
        write_file(mbox(), mailbox);
        tool_result result = run_tool({"mbox", "out", "-t", "-s"}, dir, options);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err, "Unable to read input file: File is shorter than its size\n");
        EXPECT_EQ(read_file(mbox()), mailbox.substr(0, 5000));
        EXPECT_EQ(message_contents(out()), strings(messages.begin(), messages.begin() + written)); // hidden ones included
        EXPECT_EQ(journal_of(out()) != "none", written > 0); // for the next run
        EXPECT_EQ(file_names(dir), (strings{"mbox", "out"}));
        remove_scratch_directory(out());
        mkdir(out().c_str(), 0700);
    }
    skipped_rows(skipped);
}

// The mailbox keeps every message when it cannot be emptied, or when a program that ignores every
// lock wrote to it meanwhile, even without changing its size; the run still succeeds.
TEST_F(Conversion, AMailboxThatCannotBeEmptiedSafelyIsKept)
{
    struct {
        const char *name;
        tool_options options;
        std::string err, mailbox_after;
    } cases[] = {
        {"emptying fails", {.wrapper = {"fiu-run", "-x", "-c", "enable name=posix/io/rw/ftruncate,failinfo=5"}},
         "Unable to truncate input file: Input/output error\n", "From a\nA\n"},
        {"mail appended without a lock", {.environment = {"LD_PRELOAD="s + FAULT_SHIM, "QUELVARON_FAULT=append"}},
         "Unable to truncate input file: File changed while it was converted\n", "From a\nA\n\nFrom late\nL\n"},
        {"same size rewritten without a lock", {.environment = {"LD_PRELOAD="s + FAULT_SHIM, "QUELVARON_FAULT=rewrite"}},
         "Unable to truncate input file: File changed while it was converted\n", "From a\nA\n"},
        {"rewritten, its times put back", {.environment = {"LD_PRELOAD="s + FAULT_SHIM, "QUELVARON_FAULT=rewrite-keep-time"}},
         "Unable to truncate input file: File changed while it was converted\n", "From a\nA\n"},
    };
    std::string skipped;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (!row_can_run(c.options, c.name, skipped))
            continue;
        write_file(mbox(), "From a\nA\n");
        tool_result result = run_tool({"mbox", "out", "-t"}, dir, c.options);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out, "Processing mbox to out...\n" + summary(1, 9));
        EXPECT_EQ(read_file(mbox()), c.mailbox_after);
        EXPECT_EQ(message_contents(out()), strings{"From a\nA\n"});
        // Its journal stays, so the next run writes only what no file holds yet, and then goes.
        EXPECT_NE(journal_of(out()), "none");
        EXPECT_EQ(run_tool({"mbox", "out", "-t", "-s"}, dir).status, 0);
        strings expected = reference_split(c.mailbox_after);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(sorted_contents(out()), expected);
        remove_scratch_directory(out());
        mkdir(out().c_str(), 0700);
    }
    skipped_rows(skipped);
}

// A user's directory he may write but not list, run into three times with -t as cron would: every
// message once. syncfs makes its entries durable on Linux, so the first run empties the mailbox;
// elsewhere they cannot be made durable, so the mailbox is kept, and the journal, which names the
// files, has the next runs write nothing again.
TEST_F(Conversion, AWriteOnlyDirectoryGetsEachMessageOnce)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to run the tool as another user, who may not list the directory";
    const std::string mailbox = "From a\nA\n\nFrom b\nB\n";
    write_file(mbox(), mailbox);
    chmod(dir.c_str(), 0755);
    ASSERT_EQ(chown(mbox().c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(out().c_str(), 65534, 65534), 0);
    chmod(out().c_str(), 0300);
    const tool_options as_user = {.wrapper = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"}};
    // The portable branch reaches folders through O_SEARCH, or where the system has none (Linux)
    // O_RDONLY, which a write-only folder refuses: nothing is written then.
    const std::string refused = "Unable to create output file: Permission denied\nError processing mail, terminating: "
                                "Permission denied\n";
    bool reached = true;
    for (int run = 0; run < 3; run++) {
        tool_result result = run_tool({"mbox", "out", "-t", "-s"}, dir, as_user);
        reached = reached && result.err != refused;
        EXPECT_EQ(result.status, linux_branch ? 0 : 1) << result.err;
        EXPECT_EQ(result.err, linux_branch ? "" : reached ? "Unable to sync output directory: Permission denied\n" : refused);
    }
    const strings both = {"From a\nA\n", "From b\nB\n"};
    EXPECT_EQ(message_contents(out()), reached ? both : strings{});
    EXPECT_EQ(read_file(mbox()), linux_branch ? "" : mailbox);
}

TEST_F(Conversion, ShortReadsStillLoadTheWholeMailbox)
{
    const tool_options short_reads = {.wrapper = {"fiu-run", "-x", "-c", "enable name=posix/mm/mmap,failinfo=19", "-c",
                                                  "enable name=posix/io/rw/read/reduce"}};
    if (!tool_can_run(short_reads))
        GTEST_SKIP() << "needs fiu-run (apt-get install fiu-utils) and a binary that loads libraries";
    std::string mailbox;
    for (int i = 0; i < 300; i++)
        mailbox += "From sender" + std::to_string(i) + "\nSubject: " + std::string(i * 7, 'x') + "\n\n";
    write_file(mbox(), mailbox);
    tool_result result = run_tool({"mbox", "out", "-t"}, dir, short_reads);
    EXPECT_EQ(result.status, 0) << result.err;
    strings expected = reference_split(mailbox);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sorted_contents(out()), expected);
    EXPECT_EQ(result.out, "Processing mbox to out...\nInput Mailbox truncated.\n" + summary(300, (long long)mailbox.size()));
}

TEST_F(Conversion, WithTruncationFilesAreSyncedBeforeTheMailboxIsEmptied)
{
    if (!command_available("strace"))
        GTEST_SKIP() << "strace is missing (apt-get install strace)";
    write_file(mbox(), "From a\nA\n\nFrom b\nB\n");
    const std::string trace = dir + "/trace";
    for (bool truncate : {true, false}) {
        strings args = {"mbox", "out", "-s"};
        if (truncate)
            args.push_back("-t");
        tool_result result = run_tool(args, dir,
            {.wrapper = {"strace", "-qq", "-o", trace, "-e", "trace=syncfs,fsync,fdatasync,sync,ftruncate,rename,renameat,renameat2"},
             .environment = {"ASAN_OPTIONS=detect_leaks=0"}}); // the leak checker cannot run traced
        ASSERT_EQ(result.status, 0) << result.err;
        std::string calls;
        std::istringstream lines(read_file(trace));
        for (std::string line; std::getline(lines, line);)
            calls += line.substr(0, line.find('(')) + " ";
        // The journal is written (and moved into place), the files synced, then the journal moved
        // aside, where no run reads it, durably, and only then the mailbox emptied.
        EXPECT_EQ(calls, !truncate      ? "" // the mailbox is empty by then
                         : linux_branch ? "renameat syncfs fsync renameat fsync ftruncate "
                                        : "renameat fsync fsync fsync renameat fsync ftruncate ");
    }
}
