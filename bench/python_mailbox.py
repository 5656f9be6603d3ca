# SPDX-License-Identifier: BSD-2-Clause
"""What many sites use today: Python's standard mailbox module, mbox in, Maildir out.
   python3 python_mailbox.py MAILBOX MAILDIR"""
import mailbox
import sys

source = mailbox.mbox(sys.argv[1], create=False)
target = mailbox.Maildir(sys.argv[2], create=True)
source.lock()
try:
    for message in source:
        target.add(message)
finally:
    source.unlock()
