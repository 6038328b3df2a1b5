"""An entry beyond 4 GiB is written with ZIP64 fields and gets its true digest (a slow test)."""
import os
import subprocess
import pathlib
import sys
import unittest
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "harness"))
import pelmo  # noqa: E402

ZIPTOOL = pelmo.BUILD / "tests" / "ZipTool.exe"
BIG = (4 << 30) + 12345


class Zip64(unittest.TestCase):
    def test_sparse_file_beyond_four_gib(self):
        root_win = "C:\\users\\%s\\Temp\\zip64-%d" % (pelmo.user_name(), os.getpid())
        root = pelmo.to_unix(root_win)
        out = pelmo.temp_folder() / ("zip64-%d.zip" % os.getpid())
        pelmo.clean_dir(root)
        root.mkdir(parents=True)
        try:
            with open(root / "big.bin", "wb") as f:
                f.truncate(BIG - 5)
                f.seek(BIG - 5)
                f.write(b"tail!")
            (root / "small.txt").write_bytes(b"after the big one")
            # The manifest's digest of the same file, in views one after the other.
            digest = pelmo.run_wine([ZIPTOOL, "--md5", root_win + "\\big.bin"], timeout=1800).stdout.decode().strip()
            expected = subprocess.run(["md5sum", str(root / "big.bin")], capture_output=True,
                                      check=True).stdout.split()[0].decode()
            self.assertEqual(digest, expected)
            proc = pelmo.run_wine([ZIPTOOL, root_win, pelmo.to_win(str(out))], timeout=1800)
            self.assertEqual(proc.stdout.decode().strip(), "2")
            pelmo.check_archive(out, self)
            with zipfile.ZipFile(out) as z:
                big = z.getinfo("big.bin")
                small = z.getinfo("small.txt")
                self.assertEqual(big.file_size, BIG)
                self.assertEqual(big.extract_version, 45)
                self.assertEqual(small.extract_version, 20)
                self.assertEqual(z.read("small.txt"), b"after the big one")
                with z.open("big.bin") as f:
                    f.seek(BIG - 5)
                    self.assertEqual(f.read(), b"tail!")
            raw = out.read_bytes()[:4096]
            # The local header carries the ZIP64 extra field with both sizes.
            self.assertEqual(raw[:4], b"PK\x03\x04")
            self.assertEqual(int.from_bytes(raw[4:6], "little"), 45)
            self.assertEqual(int.from_bytes(raw[22:26], "little"), 0xFFFFFFFF)
            name_len = int.from_bytes(raw[26:28], "little")
            extra = raw[30 + name_len:30 + name_len + 20]
            self.assertEqual(int.from_bytes(extra[0:2], "little"), 1)
            self.assertEqual(int.from_bytes(extra[4:12], "little"), BIG)
        finally:
            pelmo.clean_dir(root)
            if out.exists():
                out.unlink()


if __name__ == "__main__":
    unittest.main(verbosity=2)
