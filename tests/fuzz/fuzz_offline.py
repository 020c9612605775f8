#!/usr/bin/python3
"""Mutation campaign against zelvoran-offline: damaged and hostile SYSTEM hives, each run in
dry-run and in write mode (ideally the sanitizer build) with a timeout.

For every run it checks: no crash, no sanitizer report, no hang; a failed run (or one with
nothing to do, or a dry run) leaves the file byte-identical; a successful write leaves a hive
whose whole tree, as reglookup reads it, equals the input's apart from the two values, which
hold what a model of the repair computes from the input.

  tests/fuzz/fuzz_offline.py --binary build/host-sanitize/zelvoran-offline --seconds 60
  tests/fuzz/fuzz_offline.py --binary ... --mutants 10000 --jobs 2 --keep build/fuzz-findings
"""
import argparse
import collections
import concurrent.futures
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

BASE = 4096
STORE = r"Control\Nsi\{eb004a11-9b1a-11d4-9123-0050047759bc}\10"
USED = "IfUsedNetLuidIndices"
BACKUP = "IfUsedNetLuidIndices_ZARBBackup"
SANITIZER_MARKS = ("runtime error", "AddressSanitizer", "LeakSanitizer", "UndefinedBehavior")
TIMEOUT = 10


def le32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def put32(data, at, value):
    struct.pack_into("<I", data, at, value & 0xFFFFFFFF)


def fix_checksum(data):
    checksum = 0
    for at in range(0, 0x1FC, 4):
        checksum ^= le32(data, at)
    put32(data, 0x1FC, checksum)


def empty_hive():
    """A minimal valid hive: base block, one bin with the root key and its security cell."""
    data = bytearray(BASE + 4096)
    data[BASE:BASE + 4] = b"hbin"
    put32(data, BASE + 8, 4096)
    root, sk, free = 0x20, 0x20 + 0x58, 0x20 + 0x58 + 0x30
    nk = BASE + root
    put32(data, nk, -0x58)
    data[nk + 4:nk + 6] = b"nk"
    struct.pack_into("<H", data, nk + 6, 0x2C)
    for field in (0x20, 0x24, 0x2C, 0x34):
        put32(data, nk + field, 0xFFFFFFFF)
    put32(data, nk + 0x30, sk)
    struct.pack_into("<H", data, nk + 0x4C, 4)
    data[nk + 0x50:nk + 0x54] = b"ROOT"
    s = BASE + sk
    put32(data, s, -0x30)
    data[s + 4:s + 6] = b"sk"
    put32(data, s + 8, sk)
    put32(data, s + 12, sk)
    put32(data, s + 16, 1)
    put32(data, s + 20, 20)
    data[s + 24] = 1
    struct.pack_into("<H", data, s + 26, 0x8000)
    put32(data, BASE + free, 4096 - free)
    data[0:4] = b"regf"
    for at, value in ((4, 1), (8, 1), (0x14, 1), (0x18, 3), (0x1C, 0), (0x20, 1), (0x24, root),
                      (0x28, 4096), (0x2C, 1)):
        put32(data, at, value)
    fix_checksum(data)
    return data


def store_name(index, if_type):
    return ((index << 24) | (if_type << 48)).to_bytes(8, "little").hex().upper()


def hexbytes(data):
    return "".join("%02x" % b for b in data)


def make_seed(path, current, used_length, interfaces, extra):
    """Fills an empty hive through hivexsh: a control set with IfTypes and a network store."""
    with open(path, "wb") as out:
        out.write(empty_hive())
    cs = "ControlSet%03d" % current
    lines = ["add Select", "cd Select", "setval 1", "Current", "dword:%d" % current, "cd \\",
             "add %s" % cs, "cd %s" % cs]
    for part in (r"services\NDIS\IfTypes").split("\\"):
        lines += ["add %s" % part, "cd %s" % part]
    for if_type, length in ((6, used_length), (24, 3)):
        lines += ["add %d" % if_type, "cd %d" % if_type, "setval 2", "IfType",
                  "dword:%d" % if_type, USED, "hex:3:%s" % ("ff" * length), "cd .."]
    lines += ["cd \\", "cd %s" % cs]
    for part in STORE.split("\\"):
        lines += ["add %s" % part, "cd %s" % part]
    lines += ["setval %d" % (len(interfaces) + len(extra))]
    for index, if_type in interfaces:
        lines += [store_name(index, if_type), "hex:3:" + hexbytes(bytes([index % 251]) * 40)]
    for name, value in extra:
        lines += [name, value]
    lines += ["cd \\", "add Other", "cd Other", "setval 2", "Big", "hex:3:" + "5a" * 1000,
              "Text", "string:some text", "cd \\", "commit"]
    script = path + ".hivexsh"
    with open(script, "w") as out:
        out.write("\n".join(lines) + "\n")
    subprocess.run(["hivexsh", "-w", "-f", script, path], check=True, stdout=subprocess.DEVNULL)
    os.unlink(script)


def make_seeds(directory):
    first = os.path.join(directory, "seed-small")
    make_seed(first, 1, 128, [(0, 6), (1, 6), (9, 6), (300, 6), (2, 24), (5, 131)],
              [("0000000700000600", "dword:1"), ("000000070000060", "hex:3:01")])
    second = os.path.join(directory, "seed-many")
    make_seed(second, 2, 10, [(i, 6 if i % 3 else 71) for i in range(60)], [])
    return [first, second]


# --- Structure of a hive, as far as the mutators need it ---------------------------------------

def cells(data):
    """(offset in file, size) of each cell, walking the bins as their headers say."""
    found = []
    at = BASE
    while at + 32 <= len(data) and data[at:at + 4] == b"hbin":
        size = le32(data, at + 8)
        if size < 4096 or at + size > len(data):
            break
        cell = at + 32
        while cell + 4 <= at + size:
            length = struct.unpack_from("<i", data, cell)[0]
            if length == 0 or abs(length) < 8:
                break
            found.append((cell, abs(length), length < 0))
            cell += abs(length)
        at += size
    return found


def typed_cells(data, signature):
    return [c for c in cells(data) if c[2] and data[c[0] + 4:c[0] + 6] == signature]


def mutate(data, other, rng):
    """One to three mutations of kinds chosen at random; returns the kinds."""
    kinds = []
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        kind = rng.choice(MUTATORS)
        try:
            kind(data, other, rng)
        except (IndexError, ValueError, struct.error):
            continue  # an earlier mutation left nothing of what this one changes
        kinds.append(kind.__name__)
    return kinds


def flip_bytes(data, other, rng):
    for _ in range(rng.randint(1, 8)):
        at = rng.randrange(len(data))
        data[at] ^= 1 << rng.randrange(8)


def flip_bytes_in_bins(data, other, rng):
    for _ in range(rng.randint(1, 4)):
        at = rng.randrange(BASE, len(data))
        data[at] = rng.randrange(256)


def base_block_field(data, other, rng):
    field = rng.choice((4, 8, 0x14, 0x18, 0x1C, 0x20, 0x24, 0x28, 0x28))
    value = rng.choice((0, 1, 2, 7, 0x1000, 0x2000, len(data) - BASE, len(data), 0x7FFFFFFF,
                        0xFFFFFFFF, le32(data, field) + rng.choice((-4096, -1, 1, 4096))))
    put32(data, field, value)
    if rng.random() < 0.8:
        fix_checksum(data)


def hbin_header(data, other, rng):
    bins = [at for at in range(BASE, len(data), 4096) if data[at:at + 4] == b"hbin"]
    at = rng.choice(bins)
    field = rng.choice((0, 4, 8))
    if field == 0:
        data[at:at + 4] = b"hbiN"
    else:
        put32(data, at + field, rng.choice((0, 1, 4096, 8192, 0x10000, 0xFFFFFFF0,
                                            le32(data, at + field) + 4096)))


def cell_size(data, other, rng):
    cell, size, used = rng.choice(cells(data))
    value = rng.choice((0, 8, -8, size, -size, -(size + 8), -(size - 8), 0x7FFFFFF8, -0x7FFFFFF8))
    put32(data, cell, value)


def nk_field(data, other, rng):
    nks = typed_cells(data, b"nk")
    cell = rng.choice(nks)[0]
    targets = [c[0] - BASE for c in cells(data)]
    field = rng.choice((0x14, 0x18, 0x1C, 0x20, 0x24, 0x28, 0x2C, 0x30, 0x34, 0x48, 0x4C))
    if field in (0x14, 0x1C, 0x2C, 0x30, 0x34) and rng.random() < 0.7:
        value = rng.choice(targets)  # another cell: cross-links and cycles
    else:
        value = rng.choice((0, 1, 2, 0xFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF,
                            le32(data, cell + field) + rng.choice((-1, 1, 8))))
    if field == 0x4C:
        struct.pack_into("<H", data, cell + field, value & 0xFFFF)
    else:
        put32(data, cell + field, value)


def vk_field(data, other, rng):
    vks = typed_cells(data, b"vk")
    cell = rng.choice(vks)[0]
    field = rng.choice((0x6, 0x8, 0xC, 0x10, 0x14))
    if field == 0x6:
        struct.pack_into("<H", data, cell + 6, rng.choice((0, 1, 15, 16, 17, 0xFF, 0xFFFF)))
    elif field == 0x8:
        put32(data, cell + 8, rng.choice((0, 4, 5, 128, 129, 16345, 0x7FFFFFFF, 0x80000000,
                                          0x80000004, 0xFFFFFFFF)))
    elif field == 0xC:
        put32(data, cell + 0xC, rng.choice([c[0] - BASE for c in cells(data)] + [0, 0xFFFFFFFF]))
    elif field == 0x10:
        put32(data, cell + 0x10, rng.choice((0, 3, 4, 11, 12, 255, 0x10000, 0x7FFFFFFF,
                                             0xFFFFFFFF)))
    else:
        struct.pack_into("<H", data, cell + 0x14, rng.randrange(0x10000))


def list_entries(data, other, rng):
    """Subkey lists and value lists: duplicated, cross-linked or cyclic entries, bad counts."""
    nks = typed_cells(data, b"nk")
    cell = rng.choice(nks)[0]
    if rng.random() < 0.5 and le32(data, cell + 0x28) > 0 and le32(data, cell + 0x2C) < len(data):
        values = BASE + le32(data, cell + 0x2C)
        count = le32(data, cell + 0x28)
        if values + 4 + 4 * count > len(data):
            return
        what = rng.choice(("duplicate", "other", "count", "share"))
        if what == "duplicate" and count >= 1:
            put32(data, values + 4 + 4 * rng.randrange(count),
                  le32(data, values + 4 + 4 * rng.randrange(count)))
        elif what == "other":
            put32(data, values + 4 + 4 * rng.randrange(count),
                  rng.choice([c[0] - BASE for c in typed_cells(data, b"vk")]))
        elif what == "count":
            put32(data, cell + 0x24 + 4, rng.choice((count + 1, count * 2, 0x7FFFFFFF)))
        else:
            donor = rng.choice(nks)[0]
            put32(data, donor + 0x2C, le32(data, cell + 0x2C))
            put32(data, donor + 0x28, count)
        return
    lists = [c for c in typed_cells(data, b"lh") + typed_cells(data, b"lf") +
             typed_cells(data, b"li") + typed_cells(data, b"ri")]
    if not lists:
        return
    lst, size, _ = rng.choice(lists)
    count = struct.unpack_from("<H", data, lst + 6)[0]
    step = 8 if data[lst + 4:lst + 6] in (b"lh", b"lf") else 4
    what = rng.choice(("duplicate", "cycle", "count"))
    if what == "count" or count == 0:
        struct.pack_into("<H", data, lst + 6, rng.choice((0, count + 1, 0xFFFF)))
    elif what == "duplicate":
        put32(data, lst + 8 + step * rng.randrange(count),
              le32(data, lst + 8 + step * rng.randrange(count)))
    else:
        put32(data, lst + 8 + step * rng.randrange(count), le32(data, 0x24))  # the root


def truncate(data, other, rng):
    cut = rng.choice((rng.randrange(len(data)), len(data) - 4096, len(data) - 1, BASE, 100))
    del data[max(cut, 0):]
    if rng.random() < 0.5 and len(data) >= BASE:
        put32(data, 0x28, max(len(data) - BASE, 0))
        fix_checksum(data)


def zero_page(data, other, rng):
    at = rng.randrange(0, len(data), 4096)
    data[at:at + 4096] = bytes(min(4096, len(data) - at))


def splice(data, other, rng):
    source = other if rng.random() < 0.5 else bytes(data)
    length = rng.choice((4, 8, 16, 64, 512, 4096))
    start = rng.randrange(max(len(source) - length, 1))
    at = rng.randrange(max(len(data) - length, 1))
    data[at:at + length] = source[start:start + length]


MUTATORS = [flip_bytes, flip_bytes_in_bins, base_block_field, hbin_header, cell_size, nk_field,
            nk_field, vk_field, vk_field, list_entries, list_entries, list_entries, truncate,
            zero_page, splice]


# --- The oracle --------------------------------------------------------------------------------

def listing(path):
    """The hive's tree as reglookup prints it, or None when it cannot read it."""
    try:
        result = subprocess.run(["reglookup", "-H", path], capture_output=True, timeout=60)
    except subprocess.TimeoutExpired:
        return None  # reglookup itself can hang on a hostile file
    if result.returncode != 0:
        return None
    return result.stdout.decode("latin-1").splitlines()


def hivexsh(path, commands):
    """The library's own reading through hivexsh, or None when a command fails."""
    script = path + ".read"
    with open(script, "w") as out:
        out.write("\n".join(commands) + "\n")
    try:
        result = subprocess.run(["hivexsh", "-f", script, path], capture_output=True, timeout=60)
    except subprocess.TimeoutExpired:
        return None
    finally:
        os.unlink(script)
    if result.returncode != 0:
        return None
    return result.stdout.decode("latin-1").splitlines()


def binary_values(lines):
    """(name, bytes) of each REG_BINARY value that hivexsh's lsval printed."""
    found = []
    for line in lines:
        match = re.fullmatch(r'"(.*)"=hex\(3\):([0-9a-f,]*)', line)
        if match:
            data = bytes.fromhex(match.group(2).replace(",", ""))
            found.append((match.group(1), data))
    return found


def model(path, if_type):
    """The repair as specified, over the library's reading of the input: the control set's store
    names give the used indices; then four free indices are reserved. None when unreadable."""
    current = hivexsh(path, ["cd Select", "lsval Current"])
    if not current or not re.fullmatch(r"[0-9a-fA-F]+", current[0]):
        return None
    control_set = "ControlSet%03d" % int(current[0], 16)
    store = hivexsh(path, ["cd %s\\%s" % (control_set, STORE), "lsval"])
    if store is None:
        return None
    bitmap = bytearray(128)
    length = 1
    for name, _ in binary_values(store):
        if not re.fullmatch(r"[0-9A-Fa-f]{16}", name):
            continue
        raw = bytes.fromhex(name)
        index = raw[3] | raw[4] << 8 | raw[5] << 16
        if (raw[6] | raw[7] << 8) != if_type or index >= 1024:
            continue
        bitmap[index // 8] |= 1 << (index % 8)
        length = max(length, index // 8 + 1)
    if length == 1 and bitmap[0] == 0:
        bitmap[0] = 1
    remaining = 4
    for byte in range(128):
        for bit in range(8):
            if remaining and not bitmap[byte] >> bit & 1:
                bitmap[byte] |= 1 << bit
                remaining -= 1
        length = max(length, byte + 1)
        if not remaining:
            break
    return control_set, bytes(bitmap[:length])


def check_write(before_path, before_lines, after_path, if_type, counts):
    """Problems of a successful write, as text; empty when the result is right. The whole tree
    is compared through reglookup, an independent reader; the two values through the library.
    Where hivexsh cannot list the input's store (it reads the data too, the repair only names),
    the new bitmap is not compared with the model; the count says how often."""
    after_lines = listing(after_path)
    if after_lines is None:
        return "the written hive cannot be read by reglookup"
    current = hivexsh(before_path, ["cd Select", "lsval Current"])
    if not current or not re.fullmatch(r"[0-9a-fA-F]+", current[0]):
        return "the library cannot read Select\\Current of the input"
    control_set = "ControlSet%03d" % int(current[0], 16)
    modelled = model(before_path, if_type)
    expected = modelled[1] if modelled else None
    if expected is None:
        counts["repaired, store unlistable: model not compared"] += 1
    type_key = "%s\\services\\NDIS\\IfTypes\\%d" % (control_set, if_type)
    changed = ("/%s/" % type_key.replace("\\", "/")).lower()
    changed = tuple(changed + name.lower() + "," for name in (USED, BACKUP))
    kept_before = [line for line in before_lines if not line.lower().startswith(changed)]
    kept_after = [line for line in after_lines if not line.lower().startswith(changed)]
    if kept_before != kept_after:
        return "keys or values besides the two changed"
    old_used, new_used, backup = type_key_values(before_path, before_lines, after_path,
                                                 after_lines, changed, type_key)
    if old_used is None:
        return "neither reader sees the type key's values"
    if len(new_used) != 1 or len(backup) != 1 or len(old_used) != 1:
        return "the two values are not there once each"
    if expected is not None and new_used[0] != expected:
        return "IfUsedNetLuidIndices %s, the model says %s" % (new_used[0].hex(), expected.hex())
    if backup[0] != old_used[0]:
        return "the backup does not hold the old value"
    return ""


def decoded(text):
    """reglookup's quoting undone: %XX is a byte, any other character stands for itself."""
    out = bytearray()
    at = 0
    while at < len(text):
        if text[at] == "%" and re.fullmatch(r"[0-9A-Fa-f]{2}", text[at + 1:at + 3]):
            out.append(int(text[at + 1:at + 3], 16))
            at += 3
        else:
            out += text[at].encode("latin-1")
            at += 1
    return bytes(out)


def type_key_values(before_path, before_lines, after_path, after_lines, changed, type_key):
    """The old value, and the new value and backup, as lists of bytes: from reglookup where it
    shows the type key, else from the library through hivexsh; (None, ...) when neither can."""
    def from_listing(lines, prefix):
        return [decoded(line[len(prefix):].split(",")[1]) for line in lines
                if line.lower().startswith(prefix) and line[len(prefix):].split(",")[0] == "BINARY"]

    new_used = from_listing(after_lines, changed[0])
    if new_used:
        return (from_listing(before_lines, changed[0]), new_used,
                from_listing(after_lines, changed[1]))
    old = hivexsh(before_path, ["cd " + type_key, "lsval"])
    new = hivexsh(after_path, ["cd " + type_key, "lsval"])
    if old is None or new is None:
        return None, None, None

    def named(values, name):
        return [data for value_name, data in binary_values(values)
                if value_name.lower() == name.lower()]

    return named(old, USED), named(new, USED), named(new, BACKUP)


def run_one(binary, path, arguments):
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1",
               UBSAN_OPTIONS="print_stacktrace=1")
    try:
        result = subprocess.run([binary] + arguments + [path], capture_output=True,
                                timeout=TIMEOUT, env=env, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return None, b""
    return result.returncode, result.stderr


def examine(binary, seeds, number, master_seed, keep):
    rng = random.Random("%d-%d" % (master_seed, number))
    seed = rng.choice(seeds)
    other = rng.choice(seeds)
    with open(seed, "rb") as f:
        data = bytearray(f.read())
    with open(other, "rb") as f:
        other_data = f.read()
    kinds = mutate(data, other_data, rng)
    if_type = rng.choice((6, 6, 6, 24, 71))
    findings = []
    counts = collections.Counter()
    with tempfile.TemporaryDirectory(prefix="zelvoran-fuzz-") as work:
        path = os.path.join(work, "SYSTEM")
        for mode in ("dry-run", "write"):
            with open(path, "wb") as f:
                f.write(data)
            before_lines = listing(path) if mode == "write" else None
            arguments = ["--iftype", str(if_type)] + (["--dry-run"] if mode == "dry-run" else [])
            code, err = run_one(binary, path, arguments)
            with open(path, "rb") as f:
                after = f.read()
            text = err.decode("utf-8", "replace")
            problem = ""
            if code is None:
                problem = "hang (over %d s)" % TIMEOUT
            elif any(mark in text for mark in SANITIZER_MARKS):
                problem = "sanitizer report"
            elif code not in (0, 1, 255):
                problem = "crash or unexpected exit code %d" % code
            elif (mode == "dry-run" or code != 1) and after != bytes(data):
                problem = "the file changed (exit %d, %s)" % (code, mode)
            elif mode == "write" and code == 1:
                if before_lines is None:
                    counts["repaired, input unreadable to reglookup"] += 1
                else:
                    with open(path + ".input", "wb") as f:
                        f.write(data)
                    problem = check_write(path + ".input", before_lines, path, if_type, counts)
                    if problem:
                        problem = "false success: " + problem
            if "hive library cannot handle" in text:
                counts["library failure contained"] += 1
            counts["%s exit %s" % (mode, code)] += 1
            if problem:
                findings.append("mutant %d (%s, type %d, %s): %s\n%s" % (
                    number, "+".join(kinds), if_type, mode, problem, text[-2000:]))
                if keep:
                    os.makedirs(keep, exist_ok=True)
                    with open(os.path.join(keep, "mutant-%d" % number), "wb") as f:
                        f.write(data)
    return findings, counts


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--mutants", type=int, default=0, help="how many (0: until --seconds)")
    parser.add_argument("--seconds", type=float, default=0, help="time budget (0: no limit)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--keep", help="folder for the mutants that found a problem")
    options = parser.parse_args()
    if not options.mutants and not options.seconds:
        parser.error("give --mutants or --seconds")

    seeds_dir = tempfile.mkdtemp(prefix="zelvoran-fuzz-seeds-")
    try:
        seeds = make_seeds(seeds_dir)
        for seed in seeds:  # the seeds themselves must be repaired right
            lines = listing(seed)
            shutil.copy(seed, seed + ".check")
            code, err = run_one(options.binary, seed + ".check", ["--iftype", "6"])
            problem = (check_write(seed, lines, seed + ".check", 6, collections.Counter())
                       if code == 1 else "exit %s" % code)
            if problem:
                print("seed %s is not repaired right: %s\n%s" % (seed, problem, err.decode()))
                return 1
        start = time.monotonic()
        total = collections.Counter()
        findings = []
        done = 0
        with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
            number = 0
            running = set()
            while True:
                out_of_time = options.seconds and time.monotonic() - start > options.seconds
                out_of_mutants = options.mutants and number >= options.mutants
                while not out_of_time and not out_of_mutants and len(running) < 2 * options.jobs:
                    running.add(pool.submit(examine, options.binary, seeds, number, options.seed,
                                            options.keep))
                    number += 1
                    out_of_mutants = options.mutants and number >= options.mutants
                if not running:
                    break
                finished, running = concurrent.futures.wait(
                    running, return_when=concurrent.futures.FIRST_COMPLETED)
                for future in finished:
                    found, counts = future.result()
                    findings += found
                    total.update(counts)
                    done += 1
        elapsed = time.monotonic() - start
    finally:
        shutil.rmtree(seeds_dir, ignore_errors=True)

    for finding in findings[:20]:
        print(finding)
    print("mutants: %d in %.0f s (seed %d)" % (done, elapsed, options.seed))
    for key in sorted(total):
        print("  %-45s %d" % (key, total[key]))
    kinds = collections.Counter(f.split(": ", 1)[1].split("\n")[0].split(" (")[0].split(":")[0]
                                for f in findings)
    print("problems: %d %s" % (len(findings), dict(kinds)))
    print("%d passed, %d failed" % (done - len({f.split(" ")[1] for f in findings}),
                                    len({f.split(" ")[1] for f in findings})))
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
