// The command line: quelvaron MAILBOX DIR [options]
#include "mailbox_conversion.h"

#include <cstdio>
#include <cstring>

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

int main(int argc, char *argv[])
{
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
