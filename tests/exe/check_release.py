#!/usr/bin/python3
"""Checks the Windows release archive: its files, their checksums, fixed times and text form."""
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

ARCHIVE = sys.argv.pop(1)


class ReleaseArchiveTest(unittest.TestCase):
    def test_files_in_order_with_fixed_times(self):
        with zipfile.ZipFile(ARCHIVE) as archive:
            entries = archive.infolist()
        self.assertEqual([e.filename for e in entries],
                         ["Zelvoran.exe", "README.txt", "LICENSE", "SHA256SUMS"])
        for entry in entries:
            self.assertEqual(entry.date_time, (1980, 1, 1, 0, 0, 0))

    def test_checksums_hold_with_sha256sum(self):
        with tempfile.TemporaryDirectory() as folder:
            with zipfile.ZipFile(ARCHIVE) as archive:
                archive.extractall(folder)
            result = subprocess.run(["sha256sum", "-c", "SHA256SUMS"], cwd=folder,
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertEqual(result.stdout.count(": OK"), 3)

    def test_readme_is_windows_text_with_the_version_and_the_restore_command(self):
        with zipfile.ZipFile(ARCHIVE) as archive:
            readme = archive.read("README.txt").decode("utf-8")
        version = os.path.basename(ARCHIVE)[len("Zelvoran-"):-len("-win32.zip")]
        self.assertTrue(readme.startswith("Zelvoran %s\r\n" % version))
        self.assertNotIn("\n", readme.replace("\r\n", ""))
        self.assertIn("IfUsedNetLuidIndices_ZARBBackup", readme)
        self.assertIn("reg add", readme)


if __name__ == "__main__":
    unittest.main()
