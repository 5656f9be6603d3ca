// SPDX-License-Identifier: BSD-2-Clause
// Writes a deterministic, realistic mailbox for benchmarks: headers, bodies of long-tailed sizes,
// some quoted ">From " lines and some messages with CRLF line ends.
//   make_mailbox COUNT PATH
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

static const char *const words[] = {
    "the", "mail", "server", "queue", "report", "meeting", "tomorrow", "attached", "please",
    "review", "budget", "quarter", "thanks", "regards", "invoice", "delivery", "project", "update",
    "schedule", "question", "answer", "backup", "network", "change", "window", "from", "about"};

// A uniform number in (0, 1] from the generator's raw bits, the same on every platform.
static double uniform(std::mt19937_64 &random)
{
    return double((random() >> 11) + 1) / 9007199254740992.0;
}

static void append_line(std::string &message, const std::string &line, bool crlf)
{
    message += line;
    message += crlf ? "\r\n" : "\n";
}

static std::string make_message(std::mt19937_64 &random, long number)
{
    bool crlf = random() % 20 == 0;
    std::string sender = "user" + std::to_string(random() % 5000) + "@example.org";
    std::string message;
    append_line(message, "From " + sender + "  Wed Dec  9 09:12:44 2026", crlf);
    append_line(message, "Return-Path: <" + sender + ">", crlf);
    for (unsigned hop = 0, hops = 1 + random() % 3; hop < hops; hop++) {
        append_line(message, "Received: from relay" + std::to_string(hop) + ".example.net (relay.example.net [192.0.2." +
                                 std::to_string(random() % 250) + "])", crlf);
        append_line(message, "\tby mx.example.com with ESMTPS id " + std::to_string(random()), crlf);
    }
    append_line(message, "From: " + sender, crlf);
    append_line(message, "To: john@example.com", crlf);
    append_line(message, "Subject: " + std::string(words[random() % std::size(words)]) + " " +
                             std::to_string(number), crlf);
    append_line(message, "Date: Wed, 09 Dec 2026 09:12:44 +0000", crlf);
    append_line(message, "Message-ID: <" + std::to_string(number) + "." + std::to_string(random()) + "@example.org>", crlf);
    append_line(message, "MIME-Version: 1.0", crlf);
    append_line(message, "Content-Type: text/plain; charset=utf-8", crlf);
    append_line(message, "", crlf);
    // Body sizes follow a Pareto tail: most are short, a few are very long.
    std::size_t body = std::size_t(std::min(100.0 * std::pow(uniform(random), -0.9), 262144.0));
    std::string line;
    for (std::size_t written = 0; written < body;) {
        if (line.empty() && random() % 100 == 0)
            line = ">From the quoted text";
        line += line.empty() ? "" : " ";
        line += words[random() % std::size(words)];
        if (line.size() > 60 + random() % 12) {
            written += line.size() + 1;
            append_line(message, line, crlf);
            line.clear();
        }
    }
    if (!line.empty())
        append_line(message, line, crlf);
    append_line(message, "", crlf); // the blank line before the next "From "
    return message;
}

int main(int argc, char *argv[])
{
    if (argc != 3) {
        fputs("usage: make_mailbox COUNT PATH\n", stderr);
        return 2;
    }
    long count = atol(argv[1]);
    FILE *out = fopen(argv[2], "wb");
    if (out == nullptr) {
        perror(argv[2]);
        return 1;
    }
    std::mt19937_64 random(20261209);
    for (long number = 0; number < count; number++) {
        std::string message = make_message(random, number);
        fwrite(message.data(), 1, message.size(), out);
    }
    if (fclose(out) != 0) {
        perror(argv[2]);
        return 1;
    }
    return 0;
}
