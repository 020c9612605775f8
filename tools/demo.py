#!/usr/bin/python3
"""Shows Zelvoran.exe repairing a damaged used-index bitmap in a fresh 64-bit Wine prefix."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_prefix as wp  # noqa: E402

EXE, PREFIX = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
TYPE_KEY = wp.IFTYPES + "\\6"

# Interfaces as a machine with several adapters, tunnels and virtual switches lists them.
INTERFACES = {
    6: [1, 2, 3, 4, 5, 7, 8, 11, 12, 14, 15, 16, 17, 18, 19, 21, 300, 517],  # Ethernet
    24: [1],                                                        # software loopback
    71: [1, 2, 3, 4, 5, 6],                                         # Wi-Fi
    131: [1, 2, 3, 4, 5, 6, 7, 8, 9, 10],                           # tunnels
}


def ranges(indices):
    parts, start, previous = [], None, None
    for index in sorted(indices) + [None]:
        if start is not None and index == previous + 1:
            previous = index
            continue
        if start is not None:
            parts.append(str(start) if start == previous else "%d-%d" % (start, previous))
        start = previous = index
    return ", ".join(parts) or "none"


def bits(data):
    return {8 * i + bit for i, byte in enumerate(data) for bit in range(8) if byte >> bit & 1}


def show_value(title, data):
    if data is None:
        print("%s: (none)" % title)
        return
    print("%s: %d bytes" % (title, len(data)))
    for offset in range(0, len(data), 32):
        print("    " + " ".join("%02X" % b for b in data[offset:offset + 32]))


def explain(data):
    used = bits(data)
    found = set(INTERFACES[6])
    print("    indices marked used:            %s" % ranges(used))
    print("    type-6 interfaces in the store: %s" % ranges(found))
    print("    reserved for new adapters:      %s" % ranges(used - found))


def value(name_):
    found = wp.query_value(PREFIX, TYPE_KEY, name_)
    return found[1] if found else None


def main():
    print("== Creating a 64-bit Wine prefix in %s" % os.path.relpath(PREFIX))
    wp.create(PREFIX)
    try:
        store = ['"%s"=hex:01,00,00,00' % wp.store_name(i, t)
                 for t, indices in INTERFACES.items() for i in indices]
        store += ['"%s"=dword:00000001' % wp.store_name(9, 6),   # not REG_BINARY: ignored
                  '"%s"=hex:01' % wp.store_name(10, 6)[:15],      # 15 characters: ignored
                  '"%s"=hex:01' % (wp.store_name(13, 6) + "FF")]  # 18 characters: ignored
        wp.import_reg(PREFIX, [
            "[-%s]" % wp.IFTYPES, "[-%s]" % wp.STORE, "",
            "[%s]" % TYPE_KEY, '"%s"=hex:%s' % (wp.USED, wp.hex_bytes(b"\xff" * 128)), "",
            "[%s\\24]" % wp.IFTYPES, '"%s"=hex:03' % wp.USED, "",
            "[%s]" % wp.STORE] + store)
        print("   network store: %d values (%s interfaces of types 6, 24, 71 and 131, "
              "3 to be ignored)" % (len(store), sum(map(len, INTERFACES.values()))))
        print()
        print("== Before: every index of interface type 6 is taken")
        show_value(wp.USED, value(wp.USED))
        print()
        print("== Running: Zelvoran.exe /iftype 6")
        sys.stdout.flush()
        if sys.stdin.isatty() and sys.stdout.isatty():
            print("   (it waits for a key at the end, as on Windows)")
            sys.stdout.flush()
            code = subprocess.run([wp.WINE64, EXE, "/iftype", "6"],
                                  env=wp.environment(PREFIX)).returncode
        else:
            code, out = wp.run(PREFIX, [EXE, "/iftype", "6"])
            sys.stdout.write(out.decode("ascii", "replace").replace("\r\n", "\n"))
        print("exit code: %d%s" % (code, " (-1)" if code == 255 else ""))
        print()
        print("== After")
        new = value(wp.USED)
        show_value(wp.USED, new)
        if new:
            explain(new)
        show_value(wp.BACKUP, value(wp.BACKUP))
    finally:
        wp.stop(PREFIX)


if __name__ == "__main__":
    main()
