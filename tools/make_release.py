#!/usr/bin/python3
"""Makes the Windows release archive Zelvoran-<version>-win32.zip: Zelvoran.exe, README.txt,
LICENSE and SHA256SUMS, the same bytes from the same sources (fixed times, order and modes)."""
import argparse
import hashlib
import zipfile

# The earliest time a zip entry can hold: no build time enters the archive.
FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def windows_text(text):
    return text.replace("\r\n", "\n").replace("\n", "\r\n").encode("utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--readme", required=True)
    parser.add_argument("--license", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--output", required=True)
    options = parser.parse_args()

    with open(options.exe, "rb") as f:
        exe = f.read()
    with open(options.readme, encoding="utf-8") as f:
        readme = windows_text(f.read().replace("@VERSION@", options.version))
    with open(options.license, encoding="utf-8") as f:
        licence = windows_text(f.read())
    files = [("Zelvoran.exe", exe), ("README.txt", readme), ("LICENSE", licence)]
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in files)
    files.append(("SHA256SUMS", sums.encode("ascii")))

    with zipfile.ZipFile(options.output, "w") as archive:
        for name, data in files:
            entry = zipfile.ZipInfo(name, date_time=FIXED_TIME)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3  # Unix, so that the mode below is the one recorded
            entry.external_attr = (0o100755 if name.endswith(".exe") else 0o100644) << 16
            archive.writestr(entry, data, compresslevel=9)


if __name__ == "__main__":
    main()
