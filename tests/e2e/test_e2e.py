#!/usr/bin/python3
"""End-to-end tests of the real Zelvoran.exe in a 64-bit Wine prefix, where it runs under WOW64."""
import os
import sys
import unittest


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import wine_prefix as wp
from wine_prefix import BACKUP, IFTYPES, STORE, USED

EXE = os.environ.get("ZELVORAN_EXE", "Zelvoran.exe")
PREFIX = wp.prefix_path()

USAGE = (b"Zelvoran repairs some registry values, which defend intermediate network driver "
         b"installation.\r\nUsage: \n\tZelvoran.exe [/? | /iftype value(1-65535, default 1)]\r\n")
PRESS = b"\r\nPress any key.\r\n"
RESTART = b"\r\nYou need to restart your computer.\r\n"
REPAIRED = b"Repair successful.\r\n"
UNKNOWN = b"Unknown error.\r\n"
NOT_NECESSARY = b"It's not necessary to repair ndis interface indices.\r\n"
NOT_VISTA = b"Repair ndis interface indices can by used only on Vista or higher.\r\n"
IFTYPES_MISSING = (b"Can't find registry key "
                   b"\"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\".\r\n")
STORE_MISSING = (b"Can't find registry key \"SYSTEM\\CurrentControlSet\\Control\\Nsi\\"
                 b"{eb004a11-9b1a-11d4-9123-0050047759bc}\\10\"\r\n")
DAMAGED = b"\xff" * 128


def type_missing(type_name):
    return (b"Can't open registry key \"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\\"
            + type_name + b"\".\r\n")


interface = wp.store_name


def run_output(message, result):
    return b"\r\n" + message + (RESTART if result > 0 else b"") + PRESS


class ZelvoranTest(unittest.TestCase):
    def seed(self, types=None, store=None):
        """Resets the two keys the tool uses, then seeds them. types maps a type name to the
        value lines of its key (None: IfTypes absent); store lists the network store's value
        lines (None: the key absent)."""
        lines = ["[-%s]" % IFTYPES, "[-%s]" % STORE, ""]
        if types is not None:
            lines += ["[%s]" % IFTYPES, ""]
            for type_name, values in types.items():
                lines += ["[%s\\%s]" % (IFTYPES, type_name)] + values + [""]
        if store is not None:
            lines += ["[%s]" % STORE] + store + [""]
        wp.import_reg(PREFIX, lines)

    def run_exe(self, *arguments):
        code, out = wp.run(PREFIX, [EXE] + list(arguments))
        return (code - 256 if code > 127 else code), out

    def value(self, type_name, name):
        found = wp.query_value(PREFIX, "%s\\%s" % (IFTYPES, type_name), name)
        return found[1] if found and found[0] == "REG_BINARY" else found

    def expect_run(self, arguments, message, result):
        code, out = self.run_exe(*arguments)
        self.assertEqual(out, run_output(message, result))
        self.assertEqual(code, result)


def binary(name, data):
    return '"%s"=hex:%s' % (name, wp.hex_bytes(data))


def store_value(name, data=b"\x01"):
    return binary(name, data)


class UsageTest(ZelvoranTest):
    def test_malformed_command_lines_show_usage_and_change_nothing(self):
        self.seed({"1": [binary(USED, DAMAGED)]}, [store_value(interface(3, 1))])
        for arguments in (["/?"], ["/iftype"], ["/iftype", "0"], ["/iftype", "abc"],
                          ["/iftype", "65536"], ["/iftype", "6", "x"], ["/type", "6"]):
            with self.subTest(arguments=arguments):
                code, out = self.run_exe(*arguments)
                self.assertEqual(out, USAGE)
                self.assertEqual(code, 0)
        self.assertEqual(self.value("1", USED), DAMAGED)
        self.assertIsNone(self.value("1", BACKUP))


class VersionTest(ZelvoranTest):
    def test_older_windows_does_nothing(self):
        self.seed({"6": [binary(USED, DAMAGED)]}, [store_value(interface(3, 6))])
        wp.import_reg(PREFIX, ["[HKEY_CURRENT_USER\\Software\\Wine]", '"Version"="winxp"'])
        try:
            self.expect_run(["/iftype", "6"], NOT_VISTA, 0)
        finally:
            wp.import_reg(PREFIX, ["[HKEY_CURRENT_USER\\Software\\Wine]", '"Version"=-'])
        self.assertEqual(self.value("6", USED), DAMAGED)
        self.assertIsNone(self.value("6", BACKUP))


class FailureTest(ZelvoranTest):
    def check_unchanged(self, type_name, old):
        self.assertEqual(self.value(type_name, USED), old)
        self.assertIsNone(self.value(type_name, BACKUP))

    def test_missing_iftypes_key(self):
        self.seed(None, [store_value(interface(3, 6))])
        self.expect_run(["/iftype", "6"], IFTYPES_MISSING, -1)
        self.assertFalse(wp.key_exists(PREFIX, IFTYPES))

    def test_missing_type_key_is_not_created(self):
        self.seed({"24": [binary(USED, DAMAGED)]}, [store_value(interface(3, 6))])
        self.expect_run(["/iftype", "6"], type_missing(b"6"), -1)
        self.assertFalse(wp.key_exists(PREFIX, IFTYPES + "\\6"))

    def test_missing_store_fails_even_for_a_short_value(self):
        self.seed({"6": [binary(USED, b"\x01")]}, None)
        self.expect_run(["/iftype", "6"], STORE_MISSING, -1)
        self.check_unchanged("6", b"\x01")

    def test_value_missing_or_of_another_type(self):
        for values in ([], ['"%s"=dword:000000ff' % USED]):
            with self.subTest(values=values):
                self.seed({"6": values}, [store_value(interface(3, 6))])
                self.expect_run(["/iftype", "6"], UNKNOWN, -1)
                self.assertIsNone(self.value("6", BACKUP))

    def test_value_sizes(self):
        # 9 bytes: nothing to do; 10 and 128: repaired; 129: too long to read.
        for size, message, result in ((9, NOT_NECESSARY, 0), (10, REPAIRED, 1),
                                      (128, REPAIRED, 1), (129, UNKNOWN, -1)):
            with self.subTest(size=size):
                old = bytes(range(size))
                self.seed({"6": [binary(USED, old)]}, [store_value(interface(5, 6))])
                self.expect_run(["/iftype", "6"], message, result)
                if result == 1:
                    self.assertEqual(self.value("6", USED), bytes([0x2F]))
                    self.assertEqual(self.value("6", BACKUP), old)
                else:
                    self.check_unchanged("6", old)


class RepairTest(ZelvoranTest):
    STORE_VALUES = [
        store_value(interface(0, 6)), store_value(interface(1, 6)),
        store_value(interface(9, 6)), store_value(interface(2, 24)),
        store_value(interface(12, 71)), store_value(interface(3, 131)),
        '"%s"=dword:00000001' % interface(4, 6),          # not REG_BINARY
        '"%s"=hex(2):41,00,00,00' % interface(5, 6),      # REG_EXPAND_SZ
        store_value(interface(6, 6)[:15]),                # 15 characters
        store_value("00000007000006000000"),              # over-long, sorted before a match
        store_value(interface(10, 6)),
        store_value(interface(300, 6)),                   # 2C 01 00: index 300
        store_value(interface(1024, 6)),                  # beyond the bitmap
        store_value(interface(0x10003, 6)),               # 24 bits: index 65539, beyond it
        store_value(interface(3, 262)),                   # type 262 (06 01), not 6
        store_value(interface(171, 6).lower()),           # lower-case hex: 000000ab00000600
    ]
    # Indices 0, 1, 9, 10, 171 and 300 in use; 2, 3, 4 and 5 reserved.
    EXPECTED = bytes([0x3F, 0x06]) + bytes(19) + bytes([0x08]) + bytes(15) + bytes([0x10])

    def test_repairs_from_a_mixed_store_with_backup(self):
        self.seed({"6": [binary(USED, DAMAGED)], "24": [binary(USED, DAMAGED)]},
                  self.STORE_VALUES)
        self.expect_run(["/iftype", "6"], REPAIRED, 1)
        self.assertEqual(self.value("6", USED), self.EXPECTED)
        self.assertEqual(self.value("6", BACKUP), DAMAGED)
        # The other type's key is left alone.
        self.assertEqual(self.value("24", USED), DAMAGED)
        self.assertIsNone(self.value("24", BACKUP))

    def test_indices_of_256_and_more(self):
        self.seed({"6": [binary(USED, DAMAGED)]},
                  [store_value(interface(index, 6)) for index in (5, 300, 1000)])
        self.expect_run(["/iftype", "6"], REPAIRED, 1)
        expected = bytearray(126)
        for index in (0, 1, 2, 3, 5, 300, 1000):
            expected[index // 8] |= 1 << (index % 8)
        self.assertEqual(self.value("6", USED), bytes(expected))

    def test_interface_type_spellings(self):
        for arguments, type_name, index in ((["-IfType", "24"], "24", 2),
                                            (["/IFTYPE", "71"], "71", 12),
                                            (["/iftype", "-1"], "65535", 5),
                                            (["-iftype", "65542"], "6", 9)):
            with self.subTest(arguments=arguments):
                self.seed({type_name: [binary(USED, DAMAGED)]},
                          [store_value(interface(index, int(type_name)))])
                self.expect_run(arguments, REPAIRED, 1)
                expected = bytearray(index // 8 + 1)
                expected[index // 8] |= 1 << (index % 8)
                expected[0] |= 0x0F if index >= 8 else 0
                if index < 8:
                    free = [i for i in range(8) if i != index][:4]
                    for i in free:
                        expected[0] |= 1 << i
                self.assertEqual(self.value(type_name, USED), bytes(expected))
                self.assertEqual(self.value(type_name, BACKUP), DAMAGED)

    def test_no_arguments_repairs_type_1(self):
        self.seed({"1": [binary(USED, DAMAGED)]}, [store_value(interface(4, 1))])
        self.expect_run([], REPAIRED, 1)
        self.assertEqual(self.value("1", USED), bytes([0x1F]))

    def test_second_run_backs_up_the_first_result(self):
        store = [store_value(interface(index, 6)) for index in range(80)]
        self.seed({"6": [binary(USED, DAMAGED)]}, store)
        self.expect_run(["/iftype", "6"], REPAIRED, 1)
        first = self.value("6", USED)
        self.assertEqual(first, b"\xff" * 10 + b"\x0f")
        self.expect_run(["/iftype", "6"], REPAIRED, 1)
        self.assertEqual(self.value("6", BACKUP), first)
        self.assertEqual(self.value("6", USED), first)


if __name__ == "__main__":
    unittest.main(verbosity=2)
