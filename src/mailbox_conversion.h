// SPDX-License-Identifier: BSD-2-Clause
// Mailbox conversion: cuts an mbox file into messages and writes each to a file of its own.
#pragma once

// 1 to leave out the progress and summary lines (error lines are always printed); 0 at start.
extern int silent_mode;

// Converts the mailbox at `input_path` into one new file per message in `output_dir`, holding the
// mailbox's locks throughout and writing the messages straight from its mapping (mailbox_map.h);
// with `truncate_input` the files are made durable and the mailbox emptied, unless its size,
// modification or status-change time changed meanwhile. Both paths are
// resolved once with resolve_path(); the mailbox must be a regular file and, for root, have a
// single link and lie in folders of root's or its owner's: what is refused is reported as a failed
// open. The output directory, for root, must lie in folders of root's or its owner's, and root
// writes into a user's directory as him (write_as_owner()). A mailbox that lies, or is reached
// through a link that lies, in a folder its group or others may write is converted by root only
// into a directory of root's or of the mailbox's owner, else "Mailbox owned by another user" is
// reported as a failed creation. No file is written unless a file for
// every message fits in the room an unprivileged user has left. Files are named in mailbox order
// after the names in the directory (and the maildir's other folder), one run at a time per maildir
// (message_names.h), and a journal there (journal.h) lets the run after one that was stopped,
// killed or failed write only the messages not yet delivered ("Resuming interrupted conversion, N
// messages already written", resume.h); it is removed once it can serve nothing.
// Sets the process's umask to 0, as every file it makes states its mode. Prints progress and
// summary lines unless silent_mode, and reports every failure through perror.
// Returns 0 when every message was written (even if emptying failed), 1 when the conversion ended
// early, in which case the mailbox is left as it was.
int convert_mailbox(const char *input_path, const char *output_dir, bool truncate_input);
