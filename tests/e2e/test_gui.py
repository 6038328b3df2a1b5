"""The real program under Xvfb, driven as a person would: start it, press
"Save report", read the message box and press OK."""
import os
import re
import pathlib
import shutil
import subprocess
import sys
import time
import unittest
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "harness"))
import pelmo  # noqa: E402

GUI = pelmo.BUILD / "tests" / "GuiDriver.exe"
ARTIFACTS = pelmo.BUILD / "tests" / "artifacts"
SCOPE_ALL_ROWS = [
    "CreateThread Succ",
    "Pelmo_Routine_New.GetFileVersion(GetModuleName(HInstance), 3)) Succ",
    "DateTimeToStr(Now) Succ", "GetOSInfoEx Succ", "GetProcessListEx Succ", "EnumServices Succ",
    "GetBHOItemListEx Succ", "GetAutorunListx Succ", "GetWSCInfo Succ", "GetAppFileInfo Succ",
    "DoClllectEx Succ", "DoClllectDNS Succ", "MakeFilesInfo Succ", "LoadLog Succs", "LoadOtherInfo Succ",
    "LoadOnlyForTrevioTool Succ", "EnumTasks Succ", "GenMLVLogFiles Succ", "GenNeedFileByBDError Succ",
    "GenGDXLogFiles Succ", "GenNeedFileByBDError Succ", "WaitGetSystemInfo Succ",
]
REPORT_FILES = {"Pelmo_Debug_Info.txt", "uninstall.txt", "dnsGetinfo.txt", "FilesInfo.txt", "SystemInfo.txt",
                "task.txt"}


def gui(*args, check=True, timeout=120):
    proc = pelmo.run_wine([GUI] + [str(a) for a in args], timeout=timeout, check=False)
    if check and proc.returncode != 0:
        raise AssertionError("GuiDriver %s failed: %d" % (args[0], proc.returncode))
    return proc.stdout.decode("utf-8")


def unescape(s):
    """Undoes GuiDriver's escapes: \\r, \\n and \\\\."""
    return re.sub(r"\\(.)", lambda m: {"r": "\r", "n": "\n"}.get(m.group(1), m.group(1)), s)


class GuiBase(unittest.TestCase):
    program = "PelmoHelper.exe"

    def setUp(self):
        self.user = pelmo.user_name()
        self.desktop = pelmo.desktop_folder()
        self.temp = pelmo.temp_folder()
        for p in (list(self.desktop.glob("Pelmo_Debug_Info*")) + list(self.temp.glob("Pelmo_Debug_Info*.zip")) +
                  [self.temp / "GetInfoDir"]):
            if p.is_dir():
                pelmo.clean_dir(p)
            elif p.exists():
                p.unlink()
        # Each test runs its own copy of the program, so its log and bug
        # report stand apart.
        self.app_win = "C:\\pelmo-gui\\%s" % self._testMethodName
        self.app = pelmo.to_unix(self.app_win)
        pelmo.clean_dir(self.app)
        self.app.mkdir(parents=True)
        source = pelmo.BUILD / ("tests" if self.program != "PelmoHelper.exe" else "") / self.program
        shutil.copy(source, self.app / "PelmoHelper.exe")
        self.log = self.app / "Pelmo_Debug_Trevio.log"
        gui("closeclass", "ExplorerWClass", check=False)
        ARTIFACTS.mkdir(parents=True, exist_ok=True)

    def start(self, *args, env=None):
        extra = dict(env or {})
        self.proc = subprocess.Popen([pelmo.WINE_RUN, self.app_win + "\\PelmoHelper.exe"] + list(args),
                                     env=pelmo.wine_env(extra), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        self.addCleanup(self.stop)
        # Short looks, retried: a look that Wine stalls while the program
        # starts is abandoned and made again.
        end = time.time() + 90
        while time.time() < end:
            try:
                proc = pelmo.run_wine([GUI, "find", "TForm_PelmoInfo", "Pelmo Helper V9", 2000], timeout=15,
                                      check=False)
            except subprocess.TimeoutExpired:
                continue
            if proc.returncode == 0:
                self.hwnd = proc.stdout.decode().strip()
                return self.hwnd
        raise AssertionError("the window did not appear")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def press_save(self):
        gui("click", self.hwnd, "Save report")

    def box(self, shot=None):
        args = ["box", 180000] + ([pelmo.to_win_any(shot)] if shot else [])
        out = gui(*args, timeout=240)
        fields = dict(line.split(" ", 1) for line in out.splitlines() if " " in line)
        return unescape(fields.get("text", ""))

    def exit_code(self):
        return self.proc.wait(timeout=60)

    def log_texts(self):
        return pelmo.log_texts(self.log)

    def assert_progress(self, texts):
        msgs = [t for t in texts if t.startswith("msg=1281")]
        self.assertEqual(msgs[0], "msg=1281, wParam=0, lParam=20")
        steps = ["msg=1281, wParam=1, lParam=%d" % i for i in range(1, 18)]
        self.assertEqual(msgs[1:18], steps)
        self.assertEqual(msgs[18:], ["msg=1281, wParam=2, lParam=0"])

    def wait_for_log(self, text, timeout=60):
        end = time.time() + timeout
        while time.time() < end:
            if self.log.exists() and text in self.log_texts():
                return
            time.sleep(0.2)
        raise AssertionError("no %r in the log" % text)

    def make_packing_fail(self):
        # A folder stands where the archive would go: packing cannot finish.
        (self.temp / "Pelmo_Debug_Info.zip").mkdir(parents=True)
        self.addCleanup(lambda: pelmo.clean_dir(self.temp / "Pelmo_Debug_Info.zip"))


class Gui(GuiBase):
    def test_success_saves_on_the_desktop_and_points_explorer_at_it(self):
        old = self.desktop / "Pelmo_Debug_Info.zip"
        old.write_bytes(b"an old report")
        hwnd = self.start("/LOG")
        layout = gui("layout", hwnd)
        gui("shot", hwnd, pelmo.to_win_any(ARTIFACTS / "window-start.png"))
        self.check_layout(layout)
        self.press_save()
        # Closing the window during the run is refused; the run goes on.
        self.wait_for_log("DoGatherInfo strart")
        gui("close", hwnd)
        text = self.box(ARTIFACTS / "window-end.png")
        saved = "C:\\users\\%s\\Desktop\\Pelmo_Debug_Info.zip" % self.user
        self.assertEqual(text, "The report file: Pelmo_Debug_Info.zip has been saved to:\r" + saved)
        self.assertEqual(self.exit_code(), 0)
        self.assertFalse(self.log.exists(), "the log is deleted after a successful run")
        self.assertEqual(gui("explorer", 20000).strip(), "Desktop")
        pelmo.check_archive(old, self)
        with zipfile.ZipFile(old) as z:
            self.assertTrue(REPORT_FILES <= set(z.namelist()))
            self.assertEqual(z.read("uninstall.txt")[:2], b"\xff\xfe")

    def check_layout(self, layout):
        lines = layout.splitlines()
        fields = {l.split(" ", 1)[0]: l.split(" ", 1)[1] for l in lines if not l.startswith("child ")}
        self.assertEqual(fields["caption"], "Pelmo Helper V9")
        self.assertEqual(fields["class"], "TForm_PelmoInfo")
        self.assertEqual(fields["client"], "305 147")
        style, exstyle = (int(v, 16) for v in fields["style"].split())
        self.assertTrue(exstyle & 0x80, "tool window")
        self.assertTrue(exstyle & 0x40000, "own taskbar button")
        self.assertFalse(style & 0x40000, "not resizable")
        left, top, right, bottom = map(int, fields["window"].split())
        sw, sh = map(int, fields["screen"].split())
        self.assertLessEqual(abs((left + right) - sw), 1)
        self.assertLessEqual(abs((top + bottom) - sh), 1)
        children = [l[len("child "):].split("|") for l in lines if l.startswith("child ")]
        # In tab order: the label, the button, then the bar.
        self.assertEqual([(c[0], c[2:7]) for c in children], [
            ("Static", ["28", "22", "254", "39", "1"]),
            ("Button", ["61", "81", "169", "25", "1"]),
            ("msctls_progress32", ["31", "122", "253", "17", "0"]),
        ])
        self.assertEqual(unescape(children[0][10]), "Pelmo Helper collects infomation about your system...\r\n\r\n"
                                                    "Press the button below to generate an info file.")
        self.assertEqual(children[1][10], "Save report")
        self.assertTrue(int(children[1][7], 16) & 0x10000, "the button is a tab stop")
        self.assertTrue(int(children[2][7], 16) & 0x1, "smooth bar")

    def test_no_archive_rescues_the_gather_folder_beside_the_save_path(self):
        old = self.desktop / "Pelmo_Debug_Info.zip"
        old.write_bytes(b"an old report")
        self.make_packing_fail()
        self.start("/LOG")
        self.press_save()
        text = self.box()
        rescued_win = "C:\\users\\%s\\Desktop\\Pelmo_Debug_Info\\" % self.user
        self.assertEqual(text, "Please zip the following folder and send the zipped file to us.\r" + rescued_win)
        self.assertEqual(self.exit_code(), 0)
        self.assertFalse(old.exists(), "an old report never stands for the new run")
        rescued = self.desktop / "Pelmo_Debug_Info"
        names = {p.name for p in rescued.iterdir()}
        self.assertTrue(REPORT_FILES | {"Pelmo_Debug_Trevio.log"} <= names, names)
        self.assertFalse((self.temp / "GetInfoDir").exists(), "a complete copy replaces the gather folder")
        texts = pelmo.log_texts(rescued / "Pelmo_Debug_Trevio.log")
        self.assert_progress(texts)
        # The stand-alone program gathers with scope "all": every row, in order.
        rows = [t for t in texts if t.endswith((" Succ", " Succs", " except", " Except"))]
        self.assertEqual(rows, SCOPE_ALL_ROWS + ["ZipFile except", "ZipFile Succ"])
        self.assertIn("SaveFolder: " + rescued_win, texts)
        self.assertIn("CopyFolder (C:\\users\\%s\\Temp\\GetInfoDir\\) to (%s)" % (self.user, rescued_win), texts)

    def test_copy_failure_keeps_the_gather_folder_and_sends_the_user_there(self):
        self.make_packing_fail()
        # Another process takes a gathered report file as soon as the run has
        # written it, and keeps it: the rescue copy cannot be complete.
        pelmo.clean_dir(self.temp / "GetInfoDir")
        held = "C:\\users\\%s\\Temp\\GetInfoDir\\uninstall.txt" % self.user
        ready = "C:\\users\\%s\\Temp\\held-uninstall.ready" % self.user
        holder = subprocess.Popen([pelmo.WINE_RUN, pelmo.to_win_any(pelmo.BUILD / "tests" / "FixtureTool.exe"),
                                   "holdwhen", held, ready], env=pelmo.wine_env(), stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)

        def release():
            pelmo.put_file(ready + ".release", b"")
            holder.wait(timeout=60)
            for p in (pelmo.to_unix(ready), pelmo.to_unix(ready + ".release")):
                if p.exists():
                    p.unlink()
        self.addCleanup(release)
        self.start("/LOG")
        self.press_save()
        text = self.box()
        gather_win = "C:\\users\\%s\\Temp\\GetInfoDir\\" % self.user
        self.assertEqual(text, "Please zip the following folder and send the zipped file to us.\r" + gather_win)
        self.assertEqual(self.exit_code(), 0)
        gather = self.temp / "GetInfoDir"
        self.assertTrue(REPORT_FILES <= {p.name for p in gather.iterdir()})
        self.assertIn("Pelmo_Debug_Trevio.log", {p.name for p in gather.iterdir()})

    def test_no_archive_and_no_gather_folder_points_at_the_log(self):
        (self.temp / "GetInfoDir").write_bytes(b"a file where the gather folder would go")
        self.addCleanup(lambda: (self.temp / "GetInfoDir").unlink())
        self.start("/LOG")
        self.press_save()
        text = self.box()
        self.assertEqual(text, "Please send the following log file to us.\r" + self.app_win +
                         "\\Pelmo_Debug_Trevio.log")
        self.assertEqual(self.exit_code(), 0)
        texts = self.log_texts()
        self.assertIn("DoGatherInfo Except", texts)
        self.assertIn("SaveFolder not exist: ", texts)


class GuiTestBuild(GuiBase):
    """The same program with its hidden test switches."""
    program = "PelmoHelperTestHooks.exe"

    def test_report_goes_to_the_logged_on_users_desktop(self):
        other = pelmo.PREFIX / "drive_c" / "users" / "anna" / "Desktop"
        other.mkdir(parents=True, exist_ok=True)
        self.addCleanup(lambda: pelmo.clean_dir(other.parent))
        self.start("/LOG", env={"PELMO_TEST_LOGUSER": "anna", "PELMO_TEST_PROCUSER": self.user.upper()})
        self.press_save()
        text = self.box()
        self.assertEqual(text, "The report file: Pelmo_Debug_Info.zip has been saved to:\r"
                               "C:\\users\\anna\\Desktop\\Pelmo_Debug_Info.zip")
        self.assertEqual(self.exit_code(), 0)
        pelmo.check_archive(other / "Pelmo_Debug_Info.zip", self)

    def test_crash_inside_a_collector_costs_only_its_row(self):
        self.make_packing_fail()  # keeps the log
        self.start("/LOG", env={"PELMO_TEST_CRASH": "collector"})
        self.press_save()
        text = self.box()
        self.assertTrue(text.startswith("Please zip the following folder"), text)
        self.assertEqual(self.exit_code(), 0)
        texts = pelmo.log_texts(self.desktop / "Pelmo_Debug_Info" / "Pelmo_Debug_Trevio.log")
        i = texts.index("GetOSInfoEx Except")
        self.assertEqual(texts[i + 1], "GetOSInfoEx Succ")
        self.assertIn("GetProcessListEx Succ", texts)
        self.assertFalse((self.app / "bugreport.txt").exists())

    def test_a_worker_that_cannot_start_leaves_the_window_usable(self):
        self.start("/LOG", env={"PELMO_TEST_FAIL": "no-thread"})
        self.press_save()
        self.assertEqual(self.box(), "The info file save failed")
        children = [l[len("child "):].split("|") for l in gui("layout", self.hwnd).splitlines()
                    if l.startswith("child ")]
        self.assertEqual(children[1][10], "Save report")
        self.assertFalse(int(children[1][7], 16) & 0x08000000, "the button is enabled again")
        self.assertIsNone(self.proc.poll(), "the program goes on")
        self.assertIn("CreateThread failed: [0x8]", " ".join(self.log_texts()))
        gui("close", self.hwnd)
        self.assertEqual(self.exit_code(), 0)

    def crash(self, kind):
        self.start(env={"PELMO_TEST_CRASH": kind})
        self.press_save()
        text = self.box()
        self.assertEqual(text, "An error occurred in the application.")
        self.assertNotEqual(self.exit_code(), 0)
        return (self.app / "bugreport.txt").read_bytes().decode("utf-8")

    def test_unhandled_fault_on_the_worker_is_reported(self):
        report = self.crash("seh")
        self.assertEqual(report.count("==== Pelmo Helper bug report ===="), 1)
        self.assertIn("Exception: 0xC0000005 at ", report)
        self.assertRegex(report, r"\(PelmoHelper\.exe\+0x[0-9a-f]+\)")
        self.assertRegex(report, r"Thread: \d+")
        self.assertRegex(report, r"Stack:\r\n(  0x[0-9a-f]+  \S+\r\n)+")
        self.assertIn("Access: write to 0x", report)

    def test_exception_escaping_the_worker_and_terminate_are_reported(self):
        report = self.crash("worker")
        self.assertIn("What: exception escaped the worker: test: escaped the worker", report)
        self.stop()
        report = self.crash("terminate")
        self.assertEqual(report.count("==== Pelmo Helper bug report ===="), 2)
        self.assertIn("What: std::terminate", report)

    def test_bug_report_file_stays_within_its_limit(self):
        old = "".join("==== Pelmo Helper bug report ====\r\nTime: old %04d\r\n%s\r\n" % (i, "x" * 900)
                      for i in range(105))
        (self.app / "bugreport.txt").write_bytes(old.encode("utf-8"))
        report = self.crash("seh")
        self.assertLessEqual(len(report.encode("utf-8")), 100000)
        self.assertTrue(report.startswith("==== Pelmo Helper bug report ===="))
        self.assertEqual(report.count("Exception: 0xC0000005"), 1)
        self.assertNotIn("old 0000", report)
        self.assertIn("old 0104", report)


if __name__ == "__main__":
    unittest.main(verbosity=2)
