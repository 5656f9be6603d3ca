// SPDX-License-Identifier: BSD-2-Clause
// The command line: quelvaron MAILBOX DIR [options]
#include "mailbox_conversion.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// Kept from "-e" for the scripts that pass it (the usage example does); nothing reads it.
char message_extension[65535] = "mbx";

static const char usage_text[] =
    "Quelvaron, Version 1.4 built: Oct 16 2026\n"
    "\n"
    "USAGE:   quelvaron <input mailbox file> <output maildir> [options]\n"
    "OPTIONS:\n"
    "         -t      - Truncate input Maildir file after successful conversion.\n"
    "         -s      - Silent mode (error reporting only).\n"
    "EXAMPLE: $ quelvaron /var/qmail/alias/Mailbox /home/john/Maildir/cur -s -eeml";

// Returns the index of the first of the `count` arguments that begins with `option`, or -1.
// Only the option's own characters are compared, so "-truncate" matches "-t".
int find_option(const char *option, int count, char *const arguments[])
{
    std::size_t length = strlen(option);
    for (int i = 0; i < count; i++) {
        if (strncmp(arguments[i], option, length) == 0)
            return i;
    }
    return -1;
}

// Opens /dev/null on each of the standard descriptors that is closed, so that no file the tool
// opens takes its place and receives its lines. Returns 0, or -1 when one cannot be opened.
static int open_standard_descriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        int opened = open("/dev/null", O_RDWR);
        if (opened != fd) // the lowest closed descriptor is the one returned
            return -1;
    }
    return 0;
}

int main(int argc, char *argv[])
{
    if (open_standard_descriptors() != 0)
        return 1;
    if (argc <= 2) {
        puts(usage_text);
        return 0;
    }
    // The two paths come first whatever they look like; options follow in any order.
    char *const *options = argv + 3;
    int option_count = argc - 3;
    bool truncate_input = find_option("-t", option_count, options) >= 0;
    if (find_option("-s", option_count, options) >= 0)
        silent_mode = 1;
    int extension = find_option("-e", option_count, options);
    if (extension >= 0)
        strncpy(message_extension, options[extension] + 2, sizeof message_extension - 1);
    return convert_mailbox(argv[1], argv[2], truncate_input);
}
