// SPDX-License-Identifier: BSD-2-Clause
// libFuzzer target for the split: whatever the mailbox, its messages are never empty, every one
// after the first opens with "From ", and joined with newlines they give back the mailbox.
#include "mailbox_cut.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::string_view mailbox(reinterpret_cast<const char *>(data), size);
    std::string joined;
    for (std::size_t start = 0; start < mailbox.size();) {
        std::string_view message = message_at(mailbox, start);
        if (message.empty() || (start > 0 && !message.starts_with("From ")))
            abort();
        if (start > 0)
            joined += '\n';
        joined += message;
        start += message.size() + 1;
    }
    if (joined != mailbox)
        abort();
    return 0;
}
