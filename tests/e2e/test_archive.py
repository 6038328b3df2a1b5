"""The archive writer checked by independent readers: Python's zipfile, unzip -t and 7z t."""
import hashlib
import os
import pathlib
import sys
import threading
import time
import unittest
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "harness"))
import pelmo  # noqa: E402

ZIPTOOL = pelmo.BUILD / "tests" / "ZipTool.exe"
MTIME = time.mktime((2024, 5, 17, 13, 45, 22, 0, 0, -1))  # even seconds: exact in DOS time


def pseudo_random(n, seed):
    out = bytearray()
    block = hashlib.sha256(str(seed).encode()).digest()
    while len(out) < n:
        block = hashlib.sha256(block).digest()
        out += block
    return bytes(out[:n])


class ArchiveFormat(unittest.TestCase):
    def setUp(self):
        self.root_win = "C:\\users\\%s\\Temp\\ziptest-%d" % (pelmo.user_name(), os.getpid())
        self.root = pelmo.to_unix(self.root_win)
        pelmo.clean_dir(self.root)
        self.out = pelmo.temp_folder() / ("ziptest-%d.zip" % os.getpid())
        if self.out.exists():
            self.out.unlink()

    def tearDown(self):
        pelmo.clean_dir(self.root)
        if self.out.exists():
            self.out.unlink()

    def pack(self, threads=0):
        proc = pelmo.run_wine([ZIPTOOL, self.root_win, pelmo.to_win(str(self.out)), threads])
        return int(proc.stdout.decode().strip())

    def put(self, rel, data, **attrs):
        return pelmo.put_file(self.root_win + "\\" + rel, data, mtime=MTIME, **attrs)

    def test_members_names_flags_times_and_attributes(self):
        files = {
            "Pelmo_Debug_Info.txt": b"\xff\xfe" + "Version:9.0.0.1\r\n".encode("utf-16-le"),
            "AppPath/Antivirus/versions.dat": pseudo_random(70000, 1),
            "AppPath/empty.log": b"",
            "Minidump/big.dmp": pseudo_random(3 << 20, 2) + b"\0" * (1 << 20),
            "caf\u00e9 r\u00e9sum\u00e9.txt": b"OEM 437 has these letters",
            "\u65e5\u672c\u8a9e/\u30ed\u30b0.log": b"outside the OEM code page",
            "\u0416\u0443\u0440\u043d\u0430\u043b.txt": b"Cyrillic is not in 437",
            "deep/a/b/c/d/e.txt": b"deep",
        }
        for rel, data in files.items():
            self.put(rel.replace("/", "\\"), data)
        self.put("readonly.txt", b"read-only files are packed", readonly=True)
        files["readonly.txt"] = b"read-only files are packed"
        self.put("hidden.txt", b"left out", hidden=True)
        self.put("system.txt", b"left out", system=True)
        self.put("HiddenDir\\inside.txt", b"left out")
        pelmo.run_tool(["attrib", "+h", self.root_win + "\\HiddenDir"])
        (self.root / "empty" / "nested").mkdir(parents=True)

        count = self.pack()
        self.assertEqual(count, len(files))
        pelmo.check_archive(self.out, self)
        expected_time = time.localtime(MTIME)[:6]
        with zipfile.ZipFile(self.out) as z:
            self.assertEqual(set(z.namelist()), set(files))
            for info in z.infolist():
                data = files[info.filename]
                self.assertEqual(z.read(info), data, info.filename)
                self.assertEqual(info.compress_type, zipfile.ZIP_DEFLATED)
                self.assertTrue(info.flag_bits & 0x0002, info.filename)
                self.assertFalse(info.flag_bits & 0x0008, "no data descriptor")
                non_oem = any(ord(ch) > 0x7F and ch not in "\u00e9" for ch in info.filename)
                self.assertEqual(bool(info.flag_bits & 0x0800), non_oem, info.filename)
                self.assertEqual(info.extract_version, 20)
                self.assertEqual(info.date_time, expected_time, info.filename)
                attrs = info.external_attr
                self.assertEqual(bool(attrs & 0x01), info.filename == "readonly.txt", hex(attrs))
                self.assertFalse(attrs & 0x16, hex(attrs))  # hidden, system, directory
                self.assertEqual(info.CRC, zipfile.crc32(data) & 0xFFFFFFFF)
        raw = self.out.read_bytes()
        # The OEM name is stored in code page 437, not UTF-8.
        self.assertIn("caf\u00e9".encode("cp437"), raw)

    def test_empty_folders_only_give_an_empty_archive(self):
        (self.root / "a" / "b").mkdir(parents=True)
        (self.root / "c").mkdir()
        self.assertEqual(self.pack(), 0)
        pelmo.check_archive(self.out, self)
        with zipfile.ZipFile(self.out) as z:
            self.assertEqual(z.namelist(), [])

    def test_same_archive_with_one_or_many_threads(self):
        for i in range(40):
            self.put("logs\\f%02d.log" % i, (b"line %d of a product log\r\n" % i) * (200 + 50 * i))
        self.put("blob.bin", pseudo_random(2 << 20, 9))
        self.pack(threads=1)
        one = self.out.read_bytes()
        self.pack(threads=4)
        self.assertEqual(self.out.read_bytes(), one)

    def test_file_growing_while_packed_gives_a_consistent_entry(self):
        self.put("a_growing.log", b"start\r\n")
        self.put("z_bulk.bin", pseudo_random(24 << 20, 4))
        path = self.root / "a_growing.log"
        stop = threading.Event()

        def grow():
            with open(path, "ab") as f:
                while not stop.is_set():
                    f.write(b"appended while the archive is written\r\n" * 100)
                    f.flush()
                    time.sleep(0.001)

        t = threading.Thread(target=grow)
        t.start()
        try:
            self.pack()
        finally:
            stop.set()
            t.join()
        pelmo.check_archive(self.out, self)
        with zipfile.ZipFile(self.out) as z:
            stored = z.read("a_growing.log")
        self.assertTrue(path.read_bytes().startswith(stored))


if __name__ == "__main__":
    unittest.main(verbosity=2)
