#!/usr/bin/env python3
"""Times commands side by side: one round runs each once, in turn, and the
median wall time of each over the rounds is printed in seconds, a line per
command, in the order given. Alternating, a slow spell of a noisy machine
falls on every command alike, where timing one command's runs and then
the next's lets it fall on one.

    alternate.py ROUNDS -- COMMAND ARGS... -- COMMAND ARGS...

Each command is started without a shell, its output and messages thrown
away; one round more than asked for warms the files and is not counted. A
command that fails ends the timing with status 1: its time would be a
failure's, not a run's.
"""
import statistics
import subprocess
import sys
import time


def main():
    args = sys.argv[1:]
    if len(args) < 3 or args[1] != "--":
        sys.exit(__doc__)
    rounds = int(args[0])
    commands = [[]]
    for arg in args[2:]:
        if arg == "--":
            commands.append([])
        else:
            commands[-1].append(arg)
    times = [[] for _ in commands]
    for round_number in range(rounds + 1):
        for command, taken in zip(commands, times):
            start = time.perf_counter()
            status = subprocess.run(command, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL, check=False).returncode
            if status != 0:
                sys.exit(f"alternate.py: {' '.join(command)} ended with status {status}")
            if round_number > 0:
                taken.append(time.perf_counter() - start)
    for taken in times:
        print(f"{statistics.median(taken):.4f}")


if __name__ == "__main__":
    main()
