#!/usr/bin/python3
"""Measures Zelvoran.exe: its size and imports, and the wall time of one repair under a warm Wine
with network stores of 10, 1 000 and 10 000 interfaces, next to the start of a trivial .exe."""
import os
import statistics
import subprocess
import sys
import time

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_prefix as wp  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXE = os.path.join(ROOT, "build", "windows", "Zelvoran.exe")
WORK = os.path.join(ROOT, "build", "measure")
PREFIX = os.path.join(WORK, "wine-prefix")
RUNS = 7


def build_trivial_exe():
    source = os.path.join(WORK, "trivial.c")
    exe = os.path.join(WORK, "trivial.exe")
    with open(source, "w") as out:
        out.write("int main(void) { return 0; }\n")
    subprocess.run(["i686-w64-mingw32-gcc", "-O2", "-s", "-o", exe, source], check=True)
    return exe


def median_seconds(arguments, before=None):
    times = []
    for _ in range(RUNS):
        if before:
            before()
        start = time.perf_counter()
        wp.run(PREFIX, arguments)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def seed_store(count):
    lines = ["[-%s]" % wp.STORE, "", "[%s]" % wp.STORE]
    lines += ['"%s"=hex:01' % wp.store_name(i, 6 if i % 4 == 0 else 24)
              for i in range(count)]
    wp.import_reg(PREFIX, lines)


def damage():
    wp.import_reg(PREFIX, ["[%s\\6]" % wp.IFTYPES,
                           '"%s"=hex:%s' % (wp.USED, wp.hex_bytes(b"\xff" * 128))])


def main():
    subprocess.run(["cmake", "--preset", "windows"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", "--preset", "windows"], cwd=ROOT, check=True,
                   stdout=subprocess.DEVNULL)
    os.makedirs(WORK, exist_ok=True)
    pe = pefile.PE(EXE)
    print("Zelvoran.exe: %d bytes; imports %s" % (
        os.path.getsize(EXE), ", ".join(e.dll.decode() for e in pe.DIRECTORY_ENTRY_IMPORT)))
    trivial = build_trivial_exe()
    wp.create(PREFIX)
    try:
        wp.run(PREFIX, [trivial])  # warm up
        print("median of %d runs under a warm Wine (64-bit prefix, 32-bit programs):" % RUNS)
        print("  trivial .exe start (floor)      %7.3f s" % median_seconds([trivial]))
        for count in (10, 1000, 10000):
            seed_store(count)
            seconds = median_seconds([EXE, "/iftype", "6"], before=damage)
            print("  repair, %6d interfaces        %7.3f s" % (count, seconds))
    finally:
        wp.stop(PREFIX)


if __name__ == "__main__":
    main()
