"""The program's manifest, version resource, subsystem and the library's export.
   test_resources.py OBJDUMP EXE DLL"""
import re
import subprocess
import sys
import unittest

OBJDUMP, EXE, DLL = sys.argv[1:4]
del sys.argv[1:4]

SUPPORTED_OS = [
    "e2011457-1546-43c5-a5fe-008deee3d3f0",  # Vista
    "35138b9a-5d96-4fbd-8e2d-a2440225f93a",  # 7
    "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",  # 8
    "1f676c76-80e1-4239-95bb-83d0f6d0da78",  # 8.1
    "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a",  # 10
]


def utf16(s):
    return s.encode("utf-16-le")


class Resources(unittest.TestCase):
    def test_program_manifest(self):
        data = open(EXE, "rb").read()
        self.assertRegex(data, rb'requestedExecutionLevel level="requireAdministrator"')
        for guid in SUPPORTED_OS:
            self.assertIn(("{%s}" % guid).encode(), data)

    def test_version_resource_of_both(self):
        for path in (EXE, DLL):
            data = open(path, "rb").read()
            self.assertRegex(data, re.escape(utf16("FileVersion")) + b"(\x00\x00)+" + re.escape(utf16("9.0.0.1")))

    def test_gui_subsystem_and_export(self):
        exe = subprocess.run([OBJDUMP, "-p", EXE], capture_output=True, text=True).stdout
        self.assertRegex(exe, r"Subsystem\s+00000002")
        dll = subprocess.run([OBJDUMP, "-p", DLL], capture_output=True, text=True).stdout
        table = dll.split("[Ordinal/Name Pointer] Table", 1)[1]
        names = re.findall(r"^\s+\[\s*\d+\] (\S+)$", table.lstrip("\n").split("\n\n", 1)[0], re.M)
        self.assertEqual(names, ["DoGatherInfo"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
