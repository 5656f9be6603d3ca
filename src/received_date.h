// SPDX-License-Identifier: BSD-2-Clause
// A message's received date: the instant its mbox "From " line gives, read the way mail servers
// read it, so that a maildir server shows each message with the date its mbox showed.
#pragma once

#include <ctime>
#include <string_view>

// Reads the date of the "From " line that opens `message`, as Dovecot's mbox reader does: after
// the sender (a quoted one runs to its closing quote) and the blanks after it, a weekday of three
// bytes and one more, then "Mon [ ]d[d] hh:mm[:ss] [zone] yyyy" (month in any case, "???" read as
// January, a zone's name or number before the year skipped) or "d[d] Mon yyyy hh:mm[:ss]" (day 0
// read as 1 in both);
// then " +hhmm" or " -hhmm", if present, is the numeric zone, and the rest of the line is passed
// over. With a zone the fields must be valid as they stand (a second 60 is taken as 59); without
// one they are local time, normalised by mktime() as the reader does. Only the first line is
// looked at, and no locale is consulted. Returns true with the instant in `when`, or false when
// the message does not begin with "From " or its line holds no date that can be read.
bool read_received_date(std::string_view message, time_t &when);
