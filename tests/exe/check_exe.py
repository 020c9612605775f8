#!/usr/bin/python3
"""Checks the built Zelvoran.exe: machine, subsystem, imports, manifest and version resource."""
import sys
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

EXE = sys.argv.pop(1) if len(sys.argv) > 1 else "build/windows/Zelvoran.exe"
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


def resources_of_type(pe, type_id):
    found = []
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != type_id:
            continue
        for name_entry in type_entry.directory.entries:
            for language_entry in name_entry.directory.entries:
                data = language_entry.data.struct
                found.append((name_entry.id, pe.get_data(data.OffsetToData, data.Size)))
    return found


class ExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)

    def test_is_a_32_bit_console_program(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])
        self.assertEqual(self.pe.OPTIONAL_HEADER.Magic, pefile.OPTIONAL_HEADER_MAGIC_PE)
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem,
                         pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"])

    def test_is_stripped_and_has_no_time_stamp(self):
        self.assertEqual(self.pe.FILE_HEADER.NumberOfSymbols, 0)
        self.assertEqual(self.pe.FILE_HEADER.TimeDateStamp, 0)
        self.assertNotIn(b"/work/", self.pe.__data__)

    def test_imports_only_windows_own_dlls(self):
        imports = {entry.dll.decode().lower(): [i.name.decode() for i in entry.imports if i.name]
                   for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertEqual(set(imports), {"kernel32.dll", "advapi32.dll", "msvcrt.dll"})
        # Bound at load, so that the program starts only where the WOW64 query exists.
        self.assertIn("IsWow64Process", imports["kernel32.dll"])
        for name in ("RegOpenKeyExW", "RegCreateKeyExW", "RegQueryValueExW", "RegEnumValueW",
                     "RegSetValueExW", "RegCloseKey"):
            self.assertIn(name, imports["advapi32.dll"])
        self.assertIn("_getch", imports["msvcrt.dll"])

    def test_carries_exactly_one_manifest_with_its_fields(self):
        manifests = resources_of_type(self.pe, pefile.RESOURCE_TYPE["RT_MANIFEST"])
        self.assertEqual(len(manifests), 1)
        resource_id, data = manifests[0]
        self.assertEqual(resource_id, 1)
        root = ElementTree.fromstring(data)
        self.assertEqual(root.tag, ASM_V1 + "assembly")
        self.assertEqual(root.get("manifestVersion"), "1.0")
        self.assertEqual([child.tag for child in root],
                         [ASM_V1 + "assemblyIdentity", ASM_V3 + "trustInfo"])
        self.assertEqual(root.find(ASM_V1 + "assemblyIdentity").attrib,
                         {"name": "Zelvoran", "version": "1.0.0.2",
                          "processorArchitecture": "X86", "type": "win32"})
        levels = root.findall(".//" + ASM_V3 + "requestedExecutionLevel")
        self.assertEqual(len(levels), 1)
        self.assertEqual(levels[0].attrib, {"level": "requireAdministrator"})

    def test_version_resource(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x10000, 0x2))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x10000, 0x2))
        self.assertEqual(fixed.FileOS, 4)
        self.assertEqual(fixed.FileType, 0)
        self.assertEqual(fixed.FileFlags, 0)
        self.assertEqual(fixed.FileFlagsMask, 0x17)
        strings, translations = {}, []
        for info in self.pe.FileInfo[0]:
            if info.Key == b"StringFileInfo":
                self.assertEqual([table.LangID for table in info.StringTable], [b"000004b0"])
                strings = {k.decode(): v.decode() for k, v in info.StringTable[0].entries.items()}
            elif info.Key == b"VarFileInfo":
                translations = [var.entry for var in info.Var]
        self.assertEqual(strings, {
            "FileVersion": "1, 0, 0, 2", "ProductVersion": "1, 0, 0, 2",
            "FileDescription": "Zelvoran", "InternalName": "Zelvoran",
            "ProductName": "Zelvoran", "OriginalFilename": "Zelvoran.exe"})
        self.assertEqual(translations, [{b"Translation": "0x0000 0x04b0"}])


if __name__ == "__main__":
    unittest.main()
