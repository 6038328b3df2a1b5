"""Whole gatherings through the library build, as another product's process runs them."""
import os
import re
import pathlib
import sys
import unittest
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "harness"))
import pelmo  # noqa: E402

STARS = "*" * 81
REPORT_FILES = {"Pelmo_Debug_Info.txt", "uninstall.txt", "dnsGetinfo.txt", "FilesInfo.txt"}
# Completion lines of a run with scope "main product" (rows 24 and 25 and
# rows 19 and 20 do not run).
SCOPE_MAIN_ROWS = [
    "Pelmo_Routine_New.GetFileVersion(GetModuleName(HInstance), 3)) Succ",
    "DateTimeToStr(Now) Succ",
    "GetOSInfoEx Succ",
    "GetProcessListEx Succ",
    "EnumServices Succ",
    "GetBHOItemListEx Succ",
    "GetAutorunListx Succ",
    "GetWSCInfo Succ",
    "GetAppFileInfo Succ",
    "DoClllectEx Succ",
    "DoClllectDNS Succ",
    "MakeFilesInfo Succ",
    "LoadLog Succs",
    "EnumTasks Succ",
    "GenMLVLogFiles Succ",
    "GenNeedFileByBDError Succ",
    "WaitGetSystemInfo Succ",
]


class DriverRuns(unittest.TestCase):
    def setUp(self):
        self.log = pelmo.BUILD / "PelmoHelper.log"
        if self.log.exists():
            self.log.unlink()
        self.temp = pelmo.temp_folder()
        self.gather = self.temp / "GetInfoDir"
        pelmo.clean_dir(self.gather)
        self.zip = self.temp / "Pelmo_Debug_Info.zip"
        if self.zip.exists():
            self.zip.unlink()

    def tearDown(self):
        if self.log.exists():
            self.log.unlink()

    def test_scope_all_packs_the_report_files_and_posts_seventeen_steps(self):
        stale = self.gather / "old" / "stale.txt"
        stale.parent.mkdir(parents=True)
        stale.write_text("from the previous run")
        run = pelmo.run_gathering([])
        self.assertEqual(run.archive, "C:\\users\\%s\\Temp\\Pelmo_Debug_Info.zip" % pelmo.user_name())
        self.assertEqual(run.progress, [(0, 20)] + [(1, i) for i in range(1, 18)])
        # No LOG switch: no log file, although the run wrote lines.
        self.assertFalse(self.log.exists())
        # The stand-alone scope keeps the gather folder; the old one is gone.
        self.assertTrue(self.gather.is_dir())
        self.assertFalse(stale.exists())

        pelmo.check_archive(run.archive_unix, self)
        with zipfile.ZipFile(run.archive_unix) as z:
            names = set(z.namelist())
            self.assertTrue(REPORT_FILES <= names, names)
            self.assertEqual(names, REPORT_FILES | {"SystemInfo.txt", "task.txt"})
            for name in names:
                self.assertEqual(z.read(name), (self.gather / name).read_bytes(), name)
        report = pelmo.read_utf16_lines(self.gather / "Pelmo_Debug_Info.txt")
        self.assertEqual(report[0], "Version:9.0.0.1")
        self.assertTrue(report[1].startswith("Date:"))
        self.assertEqual(report[2], STARS)
        self.assertTrue(report[3].startswith("OS Name:\tWindows"), report[3])
        self.assertRegex(report[4], r"^OS Version:\t\d+\.\d+\.\d+$")
        self.assertIn("OS Type:\t%s" % ("64bit" if "i686" in str(pelmo.BUILD) else "32bit"), report)
        self.assertTrue(any(re.match(r"^Total Space:\t\d+\.\d\d GB$", l) for l in report), report)
        # The process table follows the OS block, then the services block.
        blank = report.index("")
        self.assertEqual(report[blank + 1], STARS)
        self.assertTrue(report[blank + 2].startswith("pid, name"), report[blank + 2])
        self.assertIn("GlobalAtomInfo:", report)
        self.assertTrue(any("PelmoTestHost.exe" in l for l in report))
        services = report.index(STARS, blank + 2)
        self.assertRegex(report[services + 1], r"^.{30,} [0-9A-F]+  \d+  -?\d+ \d+ ")
        summary = pelmo.read_utf16_lines(self.gather / "SystemInfo.txt")
        self.assertEqual(summary[1:3], ["", "===== System ====="])
        self.assertNotEqual((self.gather / "task.txt").read_bytes()[:2], b"\xff\xfe")
        self.assertEqual(pelmo.read_utf16_lines(self.gather / "uninstall.txt")[0],
                         "Windows Registry Editor Version 5.00")
        self.assertEqual(pelmo.read_utf16_lines(self.gather / "dnsGetinfo.txt")[0],
                         "Windows Registry Editor Version 5.00")

    def test_comma_locale_gives_comma_decimals(self):
        key = "HKCU\\Control Panel\\International"
        pelmo.reg_add(key, "sDecimal", "REG_SZ", ",", view=64)
        try:
            run = pelmo.run_gathering([])
        finally:
            pelmo.reg_add(key, "sDecimal", "REG_SZ", ".", view=64)
        report = pelmo.read_utf16_lines(self.gather / "Pelmo_Debug_Info.txt")
        self.assertTrue(any(re.match(r"^Total Space:\t\d+,\d\d GB$", l) for l in report), report)
        self.assertTrue(pathlib.Path(run.archive_unix).exists())
        # The process table takes its separator from the thread locale.
        host = [l for l in report if "PelmoTestHost.exe" in l and "   Ver:" not in l]  # not its manifest line
        self.assertEqual(len(host), 1, host)
        self.assertRegex(host[0], r",\d+(,\d\d s| ms|:\d\d min)")
        self.assertTrue(any(re.search(r"SysDrv:\d+,\d\d GB/\d+,\d\d GB", l) for l in report))

    def test_uninstall_export_agrees_with_regedit(self):
        key = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PelmoRegTest"
        pelmo.reg_import("Windows Registry Editor Version 5.00\n\n[%s]\n"
                         "\"DisplayName\"=\"Foo\"\n"
                         "\"EstimatedSize\"=dword:00001234\n"
                         "\"InstallLocation\"=\"C:\\\\Program Files\\\\Foo\\\\\"\n"
                         "\"Blob\"=hex:01,ab,00\n\n[%s\\Child]\n\"Version\"=\"9.0\"\n" % (key, key))
        self.addCleanup(lambda: pelmo.run_tool(["reg", "delete", key, "/f"]))
        pelmo.run_gathering([])
        ours = pelmo.read_utf16_lines(self.gather / "uninstall.txt")
        self.assertEqual(ours[0], "Windows Registry Editor Version 5.00")
        exported = key.replace("\\Software\\", "\\SOFTWARE\\")  # the path as the export names it
        start = ours.index("[%s]" % exported)
        self.assertEqual(ours[start - 1], "")
        block = ours[start:ours.index("[%s\\Child]" % exported) + 2]
        self.assertEqual(sorted(block[1:5]), sorted([
            '"DisplayName"="Foo"', '"EstimatedSize"=dword:00001234',
            '"InstallLocation"="C:\\\\Program Files\\\\Foo\\\\"', '"Blob"=hex:01,AB,00']))
        self.assertEqual(block[5:], ["", "[%s\\Child]" % exported, '"Version"="9.0"'])
        # Wine's own regedit writes the same lines for strings and dwords.
        out = pelmo.temp_folder() / "regedit-export.reg"
        proc = pelmo.run_tool(["regedit", "/E", pelmo.to_win(str(out)), key])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        theirs = out.read_bytes().decode("utf-16").replace("\r\n", "\n").split("\n")
        out.unlink()
        theirs_lower = [l.lower() for l in theirs]
        for line in block:
            if line.startswith("["):
                self.assertIn(line.lower(), theirs_lower)
            elif "=dword:" in line or '"="' in line:
                self.assertIn(line, theirs)

    def test_uninstall_export_of_both_views(self):
        # One entry in each view of the machine branch, one in the user's.
        base = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
        pelmo.reg_add(base + "PelmoBoth64", "DisplayName", "REG_SZ", "Sixty-four", view=64)
        pelmo.reg_add(base + "PelmoBoth32", "DisplayName", "REG_SZ", "Thirty-two", view=32)
        pelmo.reg_add(base + "PelmoBoth32\\Empty", "x", "REG_SZ", "", view=32)
        self.addCleanup(lambda: pelmo.reg_delete(base + "PelmoBoth64", view=64))
        self.addCleanup(lambda: pelmo.reg_delete(base + "PelmoBoth32", view=32))
        pelmo.run_gathering([])
        ours = pelmo.read_utf16_lines(self.gather / "uninstall.txt")
        u64 = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
        u32 = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
        i = ours.index(u64 + "\\PelmoBoth64]")
        self.assertEqual(ours[i + 1], '"DisplayName"="Sixty-four"')
        # The 64-bit walk never goes into Wow6432Node.
        self.assertNotIn(u64 + "\\PelmoBoth32]", ours)
        keys = [l for l in ours if l.startswith("[")]
        if "i686" in str(pelmo.BUILD):
            # A 32-bit program on 64-bit Windows adds the explicit 32-bit
            # export, after the whole 64-bit one, pre-order.
            j = ours.index(u32 + "\\PelmoBoth32]")
            self.assertGreater(j, i)
            self.assertEqual(ours[j + 1:j + 5], ['"DisplayName"="Thirty-two"', "",
                                                 u32 + "\\PelmoBoth32\\Empty]", '"x"=""'])
            self.assertTrue(all(k.startswith(u64) for k in keys[:keys.index(u32 + "]")]))
        else:
            # A 64-bit program: one view, and no Wow6432Node path at all.
            self.assertFalse([k for k in keys if "wow6432node" in k.lower()])

    def test_log_switch_gives_the_step_sequence_of_the_main_product_scope(self):
        self.zip.write_bytes(b"old archive")
        run = pelmo.run_gathering(["/LOG"])
        win_temp = "C:\\users\\%s\\Temp\\" % pelmo.user_name()
        gather = win_temp + "GetInfoDir\\"
        texts = pelmo.log_texts(self.log)
        self.assertEqual(self.log.read_bytes()[:2], b"\xff\xfe")
        expected = ["DoGatherInfo strart",
                    "TempPath:%s, tmpZipDir:%s, Result:%s" % (gather, win_temp, run.archive),
                    "CreateThread Succ"] + SCOPE_MAIN_ROWS
        self.assertEqual(texts[:len(expected)], expected)
        rest = texts[len(expected):]
        self.assertEqual(rest[0], run.archive + " Exist and del")
        self.assertRegex(rest[1], r"^zip:root=%szipName=%sret=\d+$" % (
            gather.replace("\\", "\\\\"), run.archive.replace("\\", "\\\\")))
        self.assertEqual(rest[2:], ["ZipFile Succ", "DoGatherInfo End: " + run.archive])
        count = int(rest[1].rsplit("ret=", 1)[1])
        with zipfile.ZipFile(run.archive_unix) as z:
            self.assertEqual(len(z.namelist()), count)
            self.assertNotEqual(z.read("Pelmo_Debug_Info.txt"), b"old archive")
        # Any scope but "all" leaves only the archive behind.
        self.assertFalse(self.gather.exists())
        self.assertEqual(run.progress, [(0, 20)] + [(1, i) for i in range(1, 16)])

    def test_product_argument_narrows_the_run_to_the_anti_malware_rows(self):
        run = pelmo.run_gathering(["/Product", "Pelmo Gardex", "/LOG"])
        texts = pelmo.log_texts(self.log)
        self.assertNotIn("GenMLVLogFiles Succ", texts)
        self.assertNotIn("LoadOtherInfo Succ", texts)
        self.assertNotIn("LoadOnlyForTrevioTool Succ", texts)
        self.assertEqual(texts.count("GenGDXLogFiles Succ"), 1)
        self.assertEqual(texts.count("GenNeedFileByBDError Succ"), 1)
        self.assertLess(texts.index("GenGDXLogFiles Succ"), texts.index("GenNeedFileByBDError Succ"))
        self.assertFalse(self.gather.exists())
        with zipfile.ZipFile(run.archive_unix) as z:
            self.assertEqual(z.read("FilesInfo.txt")[:2], b"\xff\xfe")
        self.assertEqual(len(run.progress), 16)


if __name__ == "__main__":
    unittest.main(verbosity=2)
