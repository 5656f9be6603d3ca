// SPDX-License-Identifier: BSD-2-Clause
// The journal's text and its name arithmetic: what a rerun trusts to skip mail already delivered.
#include "journal.h"

#include <gtest/gtest.h>
#include <string>

using namespace std::string_literals;

static const std::string header = "quelvaron journal 2\nmailbox 8 12 300 00000000000000ff 0 0\n";

TEST(Journal, ParsesItsOwnVersionOnlyAndGivesNamesAsTheAllocatorDid)
{
    struct {
        const char *name;
        std::string text;
        bool parsed;
        std::vector<std::pair<std::size_t, std::int64_t>> names; // message, its name number (-1: none)
    } rows[] = {
        {"one segment", header + "run 0 00000a abcdef\n", true, {{0, 10}, {5, 15}}},
        {"a resumed run after an earlier one", header + "run 0 000000 aaaaaa\nrun 3 0000zz bbbbbb\n", true,
         {{2, 2}, {3, 36 * 36 - 1}, {4, 36 * 36}}},
        // A taken name passed over: the rest of the messages went in a segment of its own.
        {"a collision at message 2", header + "run 0 000010 aaaaaa\nrun 2 001000 aaaaaa\n", true,
         {{1, 37}, {2, 36 * 36 * 36}, {3, 36 * 36 * 36 + 1}}},
        {"a segment at the same message replaces the one before",
         header + "run 0 000000 aaaaaa\nrun 2 000100 aaaaaa\nrun 2 000200 aaaaaa\n", true, {{2, 2 * 36 * 36}}},
        {"earlier versions' capitals", header + "run 0 00000A aaaaaa\n", false, {}},
        {"segments out of order", header + "run 2 000000 aaaaaa\nrun 1 000100 aaaaaa\n", false, {}},
        {"a torn last line", header + "run 0 000000 aaaaaa\nrun 5 0001", false, {}},
        {"no segment", header, false, {}},
        {"version 1 resumes nothing", "quelvaron journal 1\nmailbox 8 12 300\nrun 0 000000\nskip 000001\n", false, {}},
        {"a tag too short", header + "run 0 000000 abc\n", false, {}},
        // Names past the last one are none: the journal never names what the allocator could not give.
        {"overflow", header + "run 0 zzzzzy aaaaaa\n", true, {{0, 2176782334}, {1, 2176782335}, {2, -1}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        journal found;
        ASSERT_EQ(parse_journal(row.text, found), row.parsed);
        if (row.parsed) {
            EXPECT_EQ(found.digest, 0xffu);
        }
        for (const auto &[message, name] : row.names)
            EXPECT_EQ(journal_name(found, message), name) << "message " << message;
    }
}

TEST(Journal, TheDigestTellsAnyChangedByteOrLength)
{
    const std::string mailbox = "From a\nStatus: O\n\nA\n\nFrom b\n" + std::string(100, 'B') + "\n";
    const std::uint64_t digest = mailbox_digest(mailbox);
    EXPECT_EQ(mailbox_digest(std::string(mailbox)), digest);
    std::string changed = mailbox;
    for (std::size_t at : {std::size_t(0), std::size_t(15), mailbox.size() - 1}) { // an MUA's Status: rewrite
        changed[at] ^= 1;
        EXPECT_NE(mailbox_digest(changed), digest) << at;
        changed[at] ^= 1;
    }
    EXPECT_NE(mailbox_digest(mailbox + "\0"s), digest);
    EXPECT_NE(mailbox_digest(mailbox.substr(1)), digest);
    EXPECT_NE(mailbox_digest(""), mailbox_digest("\0"s));
}
