// SPDX-License-Identifier: BSD-2-Clause
// The received date: "From " lines against the instants that Dovecot's mbox reader gives them, in
// a zone with summer time, and the lines it reads no date from.
#include "received_date.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

// The instant of "YYYY-MM-DD hh:mm:ss" in UTC.
static time_t utc(const char *date)
{
    struct tm fields = {};
    strptime(date, "%Y-%m-%d %H:%M:%S", &fields);
    return timegm(&fields);
}

TEST(ReceivedDate, ReadsTheFromLineAsTheMailServerDoes)
{
    const char *old_zone = getenv("TZ");
    const std::string kept = old_zone ? old_zone : "";
    setenv("TZ", "Europe/Berlin", 1);
    struct {
        const char *message;
        const char *instant; // in UTC; nullptr: no date
    } rows[] = {
        {"From a@b Thu Nov  9 22:33:52 2001\nX\n", "2001-11-09 21:33:52"}, // local, winter
        {"From a@b Wed Jul  1 12:00:00 2026\n", "2026-07-01 10:00:00"},    // local, summer
        {"From a@b Sun Mar 29 02:30:00 2026\n", "2026-03-29 01:30:00"},    // the hour skipped, moved on
        {"From a@b Thu Nov  9 22:33:52 2001 +0300\n", "2001-11-09 19:33:52"},
        {"From a@b Thu Nov  9 22:33:52 2001 -0130 more\n", "2001-11-10 00:03:52"},
        {"From a@b Thu Nov  9 22:33:52 +0300 2001\n", "2001-11-09 21:33:52"}, // a zone before the year is passed over
        {"From a@b Thu Nov  9 22:33:52 EST 2001\r\n", "2001-11-09 21:33:52"},
        {"From \"x \\\" y\"@b  Thu nov 9 22:33 2001\n", "2001-11-09 21:33:00"},
        {"From a@b Thu, 9 Nov 2001 22:33:52 +0100\n", "2001-11-09 21:33:52"},
        {"From a@b Thu ???  0 22:33:52 2001\n", "2001-01-01 21:33:52"},
        {"From a@b Thu, 0 Feb 2001 10:00:00 +0000\n", "2001-02-01 10:00:00"},
        {"From a@b Thu Feb 30 10:00:00 2001\n", "2001-03-02 09:00:00"}, // normalised, as local time is
        {"From a@b Thu Nov  9 23:59:60 2001 +0000\n", "2001-11-09 23:59:59"},
        {"From a@b Thu Jan  1 00:59:59 1970\n", "1969-12-31 23:59:59"}, // mktime's -1, an instant
        {"From a@b Fri Dec 31 23:59:59 9999 -2359\n", nullptr},          // past the year 9999
        {"From a@b Thu Feb 30 10:00:00 2001 +0000\n", nullptr},
        {"From a@b Thu Nov  9 24:00:00 2001 +0000\n", nullptr},
        {"From a@b Thu Nov 9  22:33:52 2001\n", nullptr},
        {"From a@b Thu Nov  9 2:33:52 2001\n", nullptr},
        {"From a@b Thu,  9 Nov 2001 22:33:52\n", nullptr},
        {"From a@b Thu Nov  9 22:33:52 EST 01\n", nullptr},
        {"From a\r@b Thu Nov  9 22:33:52 2001\n", nullptr},
        {"From \"a@b Thu Nov  9 22:33:52 2001\n", nullptr},
        {"From a@b Thu Nov 9 22:33\n", nullptr},
        {"X-From a@b Thu Nov  9 22:33:52 2001\n", nullptr},
        {"\nFrom a@b Thu Nov  9 22:33:52 2001\n", nullptr},
    };
    for (const auto &row : rows) {
        time_t when = 0;
        bool read = read_received_date(row.message, when);
        EXPECT_EQ(read, row.instant != nullptr) << testing::PrintToString(row.message);
        if (read && row.instant != nullptr) {
            EXPECT_EQ(when, utc(row.instant)) << testing::PrintToString(row.message);
        }
    }
    if (old_zone != nullptr)
        setenv("TZ", kept.c_str(), 1);
    else
        unsetenv("TZ");
}
