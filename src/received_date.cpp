// SPDX-License-Identifier: BSD-2-Clause
#include "received_date.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

// A byte of the line, or a line feed past its end: no test below passes on one.
static char byte_at(std::string_view line, std::size_t at)
{
    return at < line.size() ? line[at] : '\n';
}

// Moves `at` to the next blank of the line, or its end. Returns false at a line end met first.
static bool skip_to_blank(std::string_view line, std::size_t &at)
{
    for (; at < line.size() && line[at] != ' '; at++)
        if (line[at] == '\r' || line[at] == '\n')
            return false;
    return true;
}

static bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// The number that `count` digits from `at` make, or -1 where one of them is no digit.
static int number_at(std::string_view line, std::size_t at, int count)
{
    int value = 0;
    for (int i = 0; i < count; i++) {
        char c = byte_at(line, at + std::size_t(i));
        if (!is_digit(c))
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The month (0 to 11) whose three letters, in any case, stand at `at` followed by a blank, or -1.
static int month_at(std::string_view line, std::size_t at)
{
    static const char names[] = "janfebmaraprmayjunjulaugsepoctnovdec";
    char letters[3];
    for (std::size_t i = 0; i < 3; i++) {
        char c = byte_at(line, at + i);
        letters[i] = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
    }
    int month = -1;
    for (int m = 0; m < 12 && month < 0; m++)
        if (memcmp(letters, names + 3 * m, 3) == 0)
            month = m;
    if (month < 0 && memcmp(letters, "???", 3) == 0) // as the reader takes one odd mbox's lines
        month = 0;
    return byte_at(line, at + 3) == ' ' ? month : -1;
}

// Days from 1970-01-01 to the date (month 1 to 12), in the proleptic Gregorian calendar.
static std::int64_t days_from_civil(std::int64_t year, int month, int day)
{
    year -= month <= 2;
    std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    std::int64_t of_era = year - era * 400;
    std::int64_t of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    return era * 146097 + (of_era * 365 + of_era / 4 - of_era / 100 + of_year) - 719468;
}

static int days_in_month(int year, int month)
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 1 && leap ? 29 : days[month];
}

// The last instant a four-digit year can name: 9999-12-31 23:59:59 UTC. Readers refuse later ones.
static constexpr std::int64_t last_instant = 253402300799;

// The instant of `fields` (a year in tm_year, plus 1900) at `zone_seconds` east of UTC, or false
// where a field is out of range or the instant is past last_instant.
static bool zoned_instant(struct tm fields, int zone_seconds, time_t &when)
{
    int year = fields.tm_year + 1900;
    if (fields.tm_sec == 60)
        fields.tm_sec = 59;
    if (fields.tm_hour > 23 || fields.tm_min > 59 || fields.tm_sec > 59 || fields.tm_mday < 1 ||
        fields.tm_mday > days_in_month(year, fields.tm_mon))
        return false;
    std::int64_t days = days_from_civil(year, fields.tm_mon + 1, fields.tm_mday);
    std::int64_t instant = days * 86400 + fields.tm_hour * 3600 + fields.tm_min * 60 + fields.tm_sec - zone_seconds;
    when = time_t(instant);
    return instant <= last_instant;
}

// The instant of `fields` in local time, or false where mktime() has none (-1 is an instant: a
// failed mktime() is told by the weekday it leaves unset) or it is past last_instant. glibc reads
// /etc/localtime again at every mktime() while TZ is unset, as under cron; naming that same file
// in TZ once makes it read it once.
static bool local_instant(struct tm fields, time_t &when)
{
    static bool zone_named = false;
    if (!zone_named) {
        if (getenv("TZ") == nullptr)
            setenv("TZ", ":/etc/localtime", 0);
        tzset();
        zone_named = true;
    }
    fields.tm_isdst = -1;
    fields.tm_wday = -1;
    when = mktime(&fields);
    return fields.tm_wday >= 0 && std::int64_t(when) <= last_instant;
}

bool read_received_date(std::string_view message, time_t &when)
{
    if (!message.starts_with("From "))
        return false;
    // The line with its line feed, which counts in the length the reader asks of a date.
    std::size_t end = message.find('\n');
    std::string_view line = message.substr(5, end == message.npos ? message.npos : end - 4);
    std::size_t at = 0;
    if (byte_at(line, 0) == '"') {
        bool escaped = false;
        for (at = 1; at < line.size() && (line[at] != '"' || escaped); at++) {
            if (line[at] == '\r' || line[at] == '\n')
                return false;
            escaped = line[at] == '\\';
        }
        at++;
    }
    if (!skip_to_blank(line, at))
        return false;
    while (at < line.size() && line[at] == ' ')
        at++;
    if (at + 21 > line.size())
        return false;
    at += 4; // the weekday and the byte after it, unchecked

    struct tm fields = {};
    bool asctime_form = (fields.tm_mon = month_at(line, at)) >= 0;
    if (asctime_form) {
        at += 4;
        at += byte_at(line, at) == ' ';
        int day_digits = byte_at(line, at + 1) == ' ' ? 1 : 2;
        if ((fields.tm_mday = number_at(line, at, day_digits)) < 0 || byte_at(line, at + day_digits) != ' ')
            return false;
        at += std::size_t(day_digits) + 1;
    } else {
        at++;
        int day_digits = is_digit(byte_at(line, at + 1)) ? 2 : 1;
        fields.tm_mday = number_at(line, at, day_digits);
        at += std::size_t(day_digits);
        if (fields.tm_mday < 0 || byte_at(line, at) != ' ' || (fields.tm_mon = month_at(line, at + 1)) < 0 ||
            (fields.tm_year = number_at(line, at + 5, 4)) < 0)
            return false;
        at += 10; // " Mon yyyy" and the byte after the year
    }
    fields.tm_mday += fields.tm_mday == 0;
    fields.tm_hour = number_at(line, at, 2);
    fields.tm_min = number_at(line, at + 3, 2);
    if (fields.tm_hour < 0 || byte_at(line, at + 2) != ':' || fields.tm_min < 0)
        return false;
    at += 5;
    if (byte_at(line, at) == ':') {
        if ((fields.tm_sec = number_at(line, at + 1, 2)) < 0)
            return false;
        at += 3;
    }
    if (asctime_form) {
        if (byte_at(line, at) != ' ')
            return false;
        at++;
        if (number_at(line, at, 4) < 0) { // a zone's name or number, which the reader passes over
            if (!skip_to_blank(line, at) || at + 5 > line.size())
                return false;
            at++;
        }
        if ((fields.tm_year = number_at(line, at, 4)) < 0)
            return false;
        at += 4;
    }
    fields.tm_year -= 1900;
    char sign = byte_at(line, at + 1);
    int zone = number_at(line, at + 2, 4);
    if (at < line.size() && line[at] == ' ' && (sign == '+' || sign == '-') && zone >= 0) {
        int seconds = zone / 100 * 3600 + zone % 100 * 60; // (Dovecot counts the minutes as seconds)
        return zoned_instant(fields, sign == '-' ? -seconds : seconds, when);
    }
    return local_instant(fields, when);
}
