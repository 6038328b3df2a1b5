"""task.txt and SystemInfo.txt of whole gatherings, against what the prefix's
stand-in commands printed (tests/fixtures/commands)."""
import os
import pathlib
import sys
import unittest
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "harness"))
import pelmo  # noqa: E402

FIXTURES = pelmo.SOURCE / "tests" / "fixtures" / "commands"
ROOT_TASKS = [b"PelmoUpdate", "Pelmo T\xe2che planifi\xe9e".encode("cp1252"),
              b"OneDrive Standalone Update Task-S-1-5-21"]


def captured_lines(data):
    """A command's output as the runner splits it: CR ends a line, LF is
    dropped, a last line without a break is kept."""
    lines, line = [], b""
    for b in data:
        if b == 13:
            lines.append(line)
            line = b""
        elif b != 10:
            line += bytes([b])
    if line:
        lines.append(line)
    return lines


def file_lines(data):
    """A text file's lines: CR LF, LF or CR end a line."""
    text = data.decode("cp1252").replace("\r\n", "\n").replace("\r", "\n")
    lines = text.split("\n")
    return lines[:-1] if lines and lines[-1] == "" else lines


class CommandFiles(unittest.TestCase):
    def gather(self, scenario):
        os.environ["PELMO_FAKE_SCENARIO"] = scenario
        try:
            run = pelmo.run_gathering([])
        finally:
            del os.environ["PELMO_FAKE_SCENARIO"]
        pelmo.check_archive(run.archive_unix, self)
        with zipfile.ZipFile(run.archive_unix) as z:
            return z.read("task.txt"), z.read("SystemInfo.txt")

    def check_summary(self, member, scenario):
        data = member
        self.assertEqual(data[:2], b"\xff\xfe")
        text = data[2:].decode("utf-16-le")
        self.assertTrue(text.endswith("\r\n"))
        lines = text.split("\r\n")[:-1]
        self.assertRegex(lines[0], r"\d")  # the date and time
        self.assertEqual(lines[1:3], ["", "===== System ====="])
        self.assertEqual(lines[3:], file_lines((FIXTURES / scenario / "systeminfo.out").read_bytes()))

    def test_typical_machine(self):
        tasks, summary = self.gather("default")
        detail = (FIXTURES / "default" / "schtasks-task.out").read_bytes()
        expected = b"".join(b"".join(l + b"\r\n" for l in captured_lines(detail.replace(b"{NAME}", n)))
                            for n in ROOT_TASKS)
        self.assertEqual(tasks, expected)  # ANSI code page, no byte-order mark
        self.assertIn("Pelmo T\xe2che planifi\xe9e".encode("cp1252"), tasks)
        self.check_summary(summary, "default")

    def test_line_breaks_and_a_last_line_without_one(self):
        tasks, summary = self.gather("breaks")
        self.assertEqual(tasks, b"A\r\nB\r\nC\r\n\r\nDE\r\nlast without a break\r\n")
        self.check_summary(summary, "breaks")

    def test_commands_that_print_nothing(self):
        tasks, summary = self.gather("empty")
        self.assertEqual(tasks, b"")
        self.check_summary(summary, "empty")

    def test_several_megabytes(self):
        tasks, summary = self.gather("big")
        self.assertEqual(tasks.count(b"\r\n"), 4 + 40000)
        self.assertGreater(len(tasks), 3 * 1024 * 1024)
        lines = summary[2:].decode("utf-16-le").split("\r\n")
        self.assertEqual(len(lines) - 1, 3 + 3 + 60000)
        self.assertTrue(lines[-2].startswith("systeminfo       00059999:"))


if __name__ == "__main__":
    unittest.main()
