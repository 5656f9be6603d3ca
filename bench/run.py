#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-2-Clause
"""Measures quelvaron against the floor and the alternatives, in one run.

Builds the tool and the helpers in Release mode, and the tool's portable branch beside it,
generates mailboxes of 10,000, 100,000 and 1,000,000 messages on tmpfs, and runs the tool and the
floor in turn, several times, converting into tmpfs. First, the headline: the tool against the
floor that maps the mailbox and publishes each file whole as the tool does, with its fchmod and
without it (files made 0666 under a umask of 0), in 21 interleaved rounds, the ratio taken round
by round, with the peak resident and private (anonymous) memory of each. Then the floor that reads
the mailbox instead of mapping it, and the one that writes each in place under
its final name, so that the cost of publishing shows, and the portable tool against the floor
that makes the portable calls; then, as root, the tool writing into a user's directory (as him)
against into root's own; then 10,000 messages into a directory of 100,000 files against into an
empty one, and a resumed run against a whole one; then the tool against Python's mailbox module
on 10,000 messages; then "-t" against no "-t" on 100,000 messages with the output on disk; then a
1 GB mailbox under a 256 MiB memory cgroup; then the split alone, against its other candidates.
Prints medians. Leaves no files behind.

    python3 bench/run.py [--quick | --headline]
        --quick: 10,000 and 100,000 messages only; --headline: the headline only
"""
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MEMORY_DIR = "/dev/shm"   # tmpfs: a disk's own noise would swing a run by half
DISK_DIR = "/var/tmp"


def timed(command):
    """Runs command; returns (seconds, peak resident KiB). Fails loudly on a non-zero status."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("failed: " + " ".join(command))
    return seconds, usage.ru_maxrss


def fresh_directory(parent, name):
    path = os.path.join(parent, name)
    shutil.rmtree(path, ignore_errors=True)
    os.mkdir(path)
    return path


def remove_and_settle(directory):
    """Removes a run's output, then gives the kernel time to finish freeing its files, so that
    this work does not overlap the next run."""
    count = len(os.listdir(directory))
    shutil.rmtree(directory)
    time.sleep(0.2 + count / 200_000)


def build(build_dir, *options):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                    "-DQUELVARON_TESTS=OFF", "-DQUELVARON_BENCH=ON", *options], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "-j", str(os.cpu_count())], check=True,
                   stdout=subprocess.DEVNULL)
    return (os.path.join(build_dir, "quelvaron"), os.path.join(build_dir, "bench", "make_mailbox"),
            os.path.join(build_dir, "bench", "floor"), os.path.join(build_dir, "bench", "split_benchmark"))


def compare(programs, mailbox, scratch, runs, rounds=None):
    """Runs each (name, command-maker) in turn, `runs` times after one untimed round, reversing
    the order every round so that neither always follows the other; returns
    name -> (median s, peak KiB), and fills `rounds` (if given) with name -> each round's seconds."""
    times = {name: [] for name, _ in programs}
    peaks = {name: 0 for name, _ in programs}
    for attempt in range(runs + 1):
        for name, command in programs if attempt % 2 == 0 else reversed(programs):
            out = fresh_directory(scratch, "out")
            seconds, peak = timed(command(mailbox, out))
            if attempt > 0:
                times[name].append(seconds)
            peaks[name] = max(peaks[name], peak)
            remove_and_settle(out)
    if rounds is not None:
        rounds.update(times)
    return {name: (statistics.median(times[name]), peaks[name]) for name, _ in programs}


def round_ratios(rounds, name, other):
    """The median of `name`'s time over `other`'s, round by round, and the lowest and highest."""
    ratios = sorted(a / b for a, b in zip(rounds[name], rounds[other]))
    return statistics.median(ratios), ratios[0], ratios[-1]


def headline(tool, make_mailbox, floor, memory, counts):
    """The tool against the floor that maps the mailbox, with and without its fchmod, in 21
    interleaved rounds, with each one's peak resident and private memory from a run of its own."""
    print("the tool against the floor that maps the mailbox (tmpfs; medians of 21 interleaved rounds,"
          " the ratio taken round by round, lowest to highest)")
    print(f"{'messages':>10} {'tool s':>7} {'floor s':>7} {'tool/floor':>21} {'0666 s':>7} {'tool/0666 floor':>21}"
          f" {'resident MiB tool/floor':>24} {'private MiB tool/floor':>23}")
    programs = [("tool", lambda mailbox, out: [tool, mailbox, out, "-s"]),
                ("floor", lambda mailbox, out: [floor, mailbox, out, "mapped"]),
                ("0666 floor", lambda mailbox, out: [floor, mailbox, out, "mapped", "0666"])]
    for count in counts:
        mailbox = os.path.join(memory, f"mailbox-{count}")
        subprocess.run([make_mailbox, str(count), mailbox], check=True)
        rounds = {}
        result = compare(programs, mailbox, memory, 21, rounds)
        private = {}
        for name, command in programs[:2]:
            out = fresh_directory(memory, "out")
            private[name] = peak_anonymous_memory(command(mailbox, out))[1]
            remove_and_settle(out)
        ratio = lambda other: "{:.3f} ({:.3f}-{:.3f})".format(*round_ratios(rounds, "tool", other))
        print(f"{count:>10,} {result['tool'][0]:>7.3f} {result['floor'][0]:>7.3f} {ratio('floor'):>21}"
              f" {result['0666 floor'][0]:>7.3f} {ratio('0666 floor'):>21}"
              f" {result['tool'][1] / 1024:>11.1f} / {result['floor'][1] / 1024:<10.1f}"
              f" {private['tool'] / 1024:>10.1f} / {private['floor'] / 1024:<10.1f}")
        os.remove(mailbox)


def directory_pass(tool, make_mailbox, memory):
    """Times 10,000 messages into a maildir's new/ whose cur/ already holds the 100,000 files of an
    earlier run (the tool reads both folders once to name its files after theirs), against into an
    empty maildir."""
    print("\nthe directory pass: 10,000 messages into new/ of a maildir whose cur/ holds 100,000 files,"
          " against into an empty one (tmpfs, medians of 7)")
    small = os.path.join(memory, "mailbox-10000")
    subprocess.run([make_mailbox, "10000", small], check=True)
    def maildir(name):
        root = fresh_directory(memory, name)
        for folder in ("new", "cur"):
            os.mkdir(os.path.join(root, folder))
        return root
    full = maildir("full")
    subprocess.run([tool, os.path.join(memory, "mailbox-100000"), os.path.join(full, "cur"), "-s"], check=True)
    times = {"empty": [], "full": []}
    for attempt in range(8):
        for name in ("empty", "full") if attempt % 2 == 0 else ("full", "empty"):
            root = maildir("out") if name == "empty" else full
            seconds, _ = timed([tool, small, os.path.join(root, "new"), "-s"])
            if attempt > 0:
                times[name].append(seconds)
            if name == "empty":
                remove_and_settle(root)
            else:
                remove_and_settle(os.path.join(full, "new"))
                os.mkdir(os.path.join(full, "new"))
    empty, full_s = (statistics.median(times[name]) for name in ("empty", "full"))
    print(f"into an empty maildir: {empty:.3f} s, beside 100,000 files in cur/: {full_s:.3f} s,"
          f" ratio {full_s / empty:.3f}, {(full_s - empty) / 100_000 * 1e9:.0f} ns per file there")
    shutil.rmtree(full)
    os.remove(small)


def resumed_run(tool, memory):
    """Times the run after a failed one that wrote all but the last of 100,000 messages (it
    compares each file with its message and writes one), against a run into an empty directory."""
    print("\na resumed run: after a run that failed at the last of 100,000 messages, against a whole run"
          " (tmpfs, medians of 7)")
    source = os.path.join(memory, "mailbox-100000")
    with open(source, "ab") as mailbox:
        mailbox.write(b"\nFrom big@example.org Mon Jan  1 00:00:00 2024\nSubject: big\n\n" + b"x" * (4 << 20) + b"\n")
    limit = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (2 << 20, 2 << 20))
    times = {"whole": [], "resumed": []}
    for attempt in range(8):
        for name in ("whole", "resumed") if attempt % 2 == 0 else ("resumed", "whole"):
            out = fresh_directory(memory, "out")
            if name == "resumed":
                failed = subprocess.run([tool, source, out, "-s"], preexec_fn=limit, stderr=subprocess.DEVNULL)
                if failed.returncode != 1:
                    sys.exit("the run to resume did not fail")
                time.sleep(0.2)
            seconds, _ = timed([tool, source, out, "-s"])
            if attempt > 0:
                times[name].append(seconds)
            remove_and_settle(out)
    whole, resumed = (statistics.median(times[name]) for name in ("whole", "resumed"))
    print(f"whole: {whole:.3f} s, resumed: {resumed:.3f} s, ratio {resumed / whole:.3f}")
    with open(source, "r+b") as mailbox:
        mailbox.truncate(os.path.getsize(source) - (4 << 20) - 62)


def peak_anonymous_memory(command, prefix=()):
    """Runs command (after `prefix`, which execs it); returns (seconds, peak RssAnon KiB), read from
    /proc every 10 ms: ru_maxrss would count the mailbox's mapped pages too."""
    start = time.perf_counter()
    process = subprocess.Popen([*prefix, *command], stdout=subprocess.DEVNULL)
    peak = 0
    while process.poll() is None:
        try:
            with open(f"/proc/{process.pid}/status") as status:
                for line in status:
                    if line.startswith("RssAnon:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.01)
    if process.returncode != 0:
        sys.exit(f"failed ({process.returncode}): " + " ".join(command))
    return time.perf_counter() - start, peak


def memory_limited_run(tool, make_mailbox, disk):
    """Converts a 1 GB mailbox on disk inside a memory cgroup of 256 MiB (v1 or v2), where one can
    be made: the mailbox is mapped, never copied, so it passes through."""
    print("\na 1 GB mailbox under a 256 MiB memory cgroup (mailbox and output on disk)")
    group = None
    for root, limit_file in (("/sys/fs/cgroup", "memory.max"), ("/sys/fs/cgroup/memory", "memory.limit_in_bytes")):
        try:
            # A cgroup file system of either version, with the memory controller, at `root`.
            if not os.path.exists(os.path.join(root, limit_file if root.endswith("memory") else "cgroup.controllers")):
                continue
            group = os.path.join(root, "quelvaron-bench")
            os.makedirs(group, exist_ok=True)
            with open(os.path.join(group, limit_file), "w") as limit:
                limit.write(str(256 << 20))
            break
        except OSError:
            group = None
    if group is None:
        print("skipped: no memory cgroup can be made here (needs root and a writable cgroup file system)")
        return
    try:
        mailbox = os.path.join(disk, "mailbox-1g")
        subprocess.run([make_mailbox, "850000", mailbox], check=True)
        out = fresh_directory(disk, "out-1g")
        size = os.path.getsize(mailbox)
        os.sync()
        enter = ["sh", "-c", f'echo $$ > {group}/cgroup.procs && exec "$0" "$@"']
        seconds, peak = peak_anonymous_memory([tool, mailbox, out, "-s", "-t"], enter)
        files = len(os.listdir(out))
        print(f"{size / 1e9:.2f} GB with -t: {files:,} files in {seconds:.1f} s, peak RssAnon {peak / 1024:.1f} MiB"
              f" ({(peak * 1024 - (4 << 20)) / files:.1f} bytes a message above 4 MiB)")
        shutil.rmtree(out)
        os.remove(mailbox)
    finally:
        os.rmdir(group)


def main():
    quick = "--quick" in sys.argv[1:]
    counts = [(10_000, 9), (100_000, 7)] + ([] if quick else [(1_000_000, 3)])
    memory = tempfile.mkdtemp(prefix="quelvaron-bench-", dir=MEMORY_DIR)
    disk = tempfile.mkdtemp(prefix="quelvaron-bench-", dir=DISK_DIR)
    try:
        tool, make_mailbox, floor, split_benchmark = build(os.path.join(disk, "build"))
        headline(tool, make_mailbox, floor, memory, [10_000, 100_000])
        if "--headline" in sys.argv[1:]:
            return
        portable = build(os.path.join(disk, "build-portable"), "-DQUELVARON_PORTABLE=ON")[0]
        tool_command = lambda mailbox, out: [tool, mailbox, out, "-s"]
        floor_command = lambda mailbox, out: [floor, mailbox, out]
        in_place_command = lambda mailbox, out: [floor, mailbox, out, "in-place"]
        mapped_floor_command = lambda mailbox, out: [floor, mailbox, out, "mapped"]
        portable_command = lambda mailbox, out: [portable, mailbox, out, "-s"]
        portable_floor_command = lambda mailbox, out: [floor, mailbox, out, "portable"]

        print("\ntool against the floors (mailbox and output on tmpfs; medians)")
        print(f"{'messages':>10} {'runs':>4} {'MB':>7} {'tool s':>8} {'floor s':>8} {'tool/floor':>10}"
              f" {'mapped s':>8} {'tool/mapped':>11} {'in-place s':>10} {'tool/in-place':>13}"
              f" {'us/msg':>7} {'msgs/s':>9} {'MB/s':>7}")
        per_message, portable_rows = {}, []
        for count, runs in counts:
            mailbox = os.path.join(memory, f"mailbox-{count}")
            subprocess.run([make_mailbox, str(count), mailbox], check=True)
            size = os.path.getsize(mailbox)
            result = compare([("tool", tool_command), ("floor", floor_command), ("mapped", mapped_floor_command),
                              ("in-place", in_place_command), ("portable", portable_command),
                              ("portable floor", portable_floor_command)], mailbox, memory, runs)
            portable_rows.append((count, result["portable"][0], result["portable floor"][0], result["tool"][0]))
            tool_s, floor_s, mapped_s, in_place_s = (result[name][0] for name in ("tool", "floor", "mapped", "in-place"))
            per_message[count] = tool_s / count
            print(f"{count:>10,} {runs:>4} {size / 1e6:>7.1f} {tool_s:>8.3f} {floor_s:>8.3f}"
                  f" {tool_s / floor_s:>10.3f} {mapped_s:>8.3f} {tool_s / mapped_s:>11.3f}"
                  f" {in_place_s:>10.3f} {tool_s / in_place_s:>13.3f}"
                  f" {tool_s / count * 1e6:>7.2f} {count / tool_s:>9,.0f} {size / 1e6 / tool_s:>7.1f}")
            if count != 100_000:
                os.remove(mailbox)
        largest = counts[-1][0]
        print(f"time per message at {largest:,} / at 10,000: {per_message[largest] / per_message[10_000]:.3f}")
        print("\nthe portable branch against its floor (hidden name, write, fchmod, linkat + unlinkat), same runs")
        print(f"{'messages':>10} {'portable s':>10} {'floor s':>8} {'tool/floor':>10} {'portable/native':>15}")
        for count, portable_s, portable_floor_s, native_s in portable_rows:
            print(f"{count:>10,} {portable_s:>10.3f} {portable_floor_s:>8.3f} {portable_s / portable_floor_s:>10.3f}"
                  f" {portable_s / native_s:>15.3f}")

        if os.geteuid() == 0:
            print("\nroot writing into a user's directory, as him, against into root's own (100,000 messages, tmpfs)")
            source = os.path.join(memory, "mailbox-100000")
            owners = [("root's", 0), ("a user's", 65534)]
            times = {name: [] for name, _ in owners}
            for attempt in range(8):
                for name, owner in owners if attempt % 2 == 0 else reversed(owners):
                    out = fresh_directory(memory, "out")
                    os.chown(out, owner, owner)
                    seconds, _ = timed(tool_command(source, out))
                    if attempt > 0:
                        times[name].append(seconds)
                    remove_and_settle(out)
            own, users = (statistics.median(times[name]) for name, _ in owners)
            print(f"into root's: {own:.3f} s, into a user's: {users:.3f} s, ratio {users / own:.3f} (medians of 7)")

        directory_pass(tool, make_mailbox, memory)
        resumed_run(tool, memory)

        print("\ntool against Python's mailbox module (10,000 messages, tmpfs)")
        small = os.path.join(memory, "mailbox-10000")
        subprocess.run([make_mailbox, "10000", small], check=True)
        python = lambda mailbox, out: [sys.executable, os.path.join(ROOT, "bench", "python_mailbox.py"),
                                       mailbox, os.path.join(out, "Maildir")]
        result = compare([("tool", tool_command), ("floor", floor_command), ("python", python)], small, memory, 3)
        for name in ("tool", "floor", "python"):
            seconds = result[name][0]
            print(f"{name:>8}: {seconds:8.3f} s {10_000 / seconds:>10,.0f} msgs/s"
                  f"  ({result['python'][0] / seconds:5.1f} times Python)")
        os.remove(small)

        print("\ndurability: -t against no -t (100,000 messages, output on disk, synced before each run)")
        # Creating files on this disk is slow right after many were deleted, so each run writes a
        # directory of its own and all are removed at the end; the first pair only warms up, and
        # ten more are timed, as a disk swings far more from run to run than tmpfs does.
        source = os.path.join(memory, "mailbox-100000")
        times = {"without -t": [], "with -t": []}
        for attempt in range(11):
            for name, extra in (("without -t", []), ("with -t", ["-t"])):
                mailbox = shutil.copy(source, os.path.join(memory, "copy"))
                out = fresh_directory(disk, f"out-{attempt}-{len(extra)}")
                os.sync()
                seconds, _ = timed([tool, mailbox, out, "-s"] + extra)
                if attempt > 0:
                    times[name].append(seconds)
                os.remove(mailbox)
        without, with_t = (statistics.median(times[name]) for name in ("without -t", "with -t"))
        pairs = sorted(b / a for a, b in zip(times["without -t"], times["with -t"]))
        print(f"without -t: {without:.3f} s, with -t: {with_t:.3f} s, ratio {with_t / without:.3f}"
              f" (each pair: {pairs[0]:.2f} to {pairs[-1]:.2f}, median {statistics.median(pairs):.2f})")

        memory_limited_run(tool, make_mailbox, disk)

        print("\nthe split alone, in memory (100,000 messages)")
        sys.stdout.flush()
        subprocess.run([split_benchmark, source], check=True)
    finally:
        shutil.rmtree(memory, ignore_errors=True)
        shutil.rmtree(disk, ignore_errors=True)


if __name__ == "__main__":
    main()
