"""The browser helper objects and the autorun entries of a whole gathering,
read from a fixture in the prefix's registry (both views) and Startup
folders; each case's block is compared line for line with its golden text."""
import pathlib
import sys
import unittest
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "harness"))
import pelmo  # noqa: E402

STARS = "*" * 81
WOW64 = "i686" in str(pelmo.BUILD)
SHELL_TOOL = pelmo.BUILD / "tests" / "FixtureTool.exe"
CSIDL_STARTUP, CSIDL_COMMON_STARTUP = 7, 24

CV = r"Software\Microsoft\Windows\CurrentVersion"
HKCU_RUN = "HKCU\\" + CV + r"\Run"
HKLM_RUN = "HKLM\\" + CV + r"\Run"
HKLM_RUNONCE = "HKLM\\" + CV + r"\RunOnce"
HKLM_RUNONCEEX = "HKLM\\" + CV + r"\RunOnceEx"
HKLM_POLICY_RUN = "HKLM\\" + CV + r"\policies\Explorer\Run"
HKCU_NT_WINDOWS = r"HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows"
HKCU_POLICY_SYSTEM = "HKCU\\" + CV + r"\Policies\System"
WINLOGON = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon"
BHO = "HKLM\\" + CV + r"\Explorer\Browser Helper Objects"
CLSID = r"HKLM\Software\Classes\CLSID"
IDS = ["{A0000000-0000-0000-0000-00000000000%d}".replace("A", c) % n
       for n, c in enumerate("ABCDE", 1)]
TARGETS = "C:\\pelmo-autorun\\"

# Keys the fixture makes or changes, removed again afterwards (view, key).
FIXTURE_KEYS = [(64, HKCU_RUN), (64, HKLM_RUN), (32, HKLM_RUN), (64, HKLM_RUNONCE), (64, HKLM_RUNONCEEX),
                (64, HKLM_POLICY_RUN), (64, HKCU_NT_WINDOWS), (64, HKCU_POLICY_SYSTEM), (64, BHO), (32, BHO)]
FIXTURE_KEYS += [(64, CLSID + "\\" + i) for i in IDS] + [(32, CLSID + "\\" + IDS[3])]


def reg(*args):
    proc = pelmo.run_tool(["reg"] + list(args))
    if proc.returncode != 0:
        raise AssertionError("reg %r failed: %r" % (args, proc.stderr))


def add(key, name, data, kind="REG_SZ", view=64):
    reg("add", key, "/f", "/reg:%d" % view, *(["/ve"] if name is None else ["/v", name]), "/t", kind, "/d", data)


def shell_folder(csidl):
    return pelmo.run_wine([SHELL_TOOL, "folder", csidl]).stdout.decode("utf-8")


def save_shortcut(link, target, arguments):
    pelmo.put_file(target, b"MZ")
    pelmo.to_unix(link).parent.mkdir(parents=True, exist_ok=True)
    pelmo.run_wine([SHELL_TOOL, "save", link, target, arguments])


def winlogon(shell64, userinit64, userinit32=None):
    add(WINLOGON, "Shell", shell64)
    add(WINLOGON, "Userinit", userinit64)
    if userinit32 is not None:
        add(WINLOGON, "Userinit", userinit32, view=32)


def common_fixture(user, common):
    """What both cases share: only the standard shell programs and the
    Startup folders' own files."""
    winlogon("explorer.exe", "C:\\windows\\system32\\userinit.exe,")
    pelmo.put_file(user + "\\desktop.ini", b"[.ShellClassInfo]\r\n")
    pelmo.put_file(common + "\\Thumbs.db", b"\0" * 16)


def full_fixture(user, common):
    common_fixture(user, common)
    pelmo.put_file(user + "\\notes.txt", b"n")
    save_shortcut(user + "\\pelmo.lnk", TARGETS + "tool.exe", "/min --tray")
    save_shortcut(user + "\\tools\\sub.lnk", TARGETS + "sub tool.exe", "")
    pelmo.put_file(common + "\\agent.bat", b"@echo off\r\n")
    add(HKCU_RUN, None, "C:\\default.exe")
    add(HKCU_RUN, "Counter", "7", kind="REG_DWORD")
    add(HKCU_RUN, "Tray", "C:\\tray.exe /min")
    add(HKLM_RUN, "Native64", "C:\\native64.exe")
    add(HKLM_RUN, "Wow32", "C:\\wow32.exe", view=32)
    add(HKLM_RUNONCE, "Once", "C:\\once.exe")
    add(HKLM_RUNONCEEX + "\\0001", "1", "a.dll|Install|/q")
    add(HKLM_RUNONCEEX + "\\0001", "2", "|||cmd.exe /c x")
    add(HKLM_POLICY_RUN, "Policy", "C:\\policy.exe")
    add(HKCU_NT_WINDOWS, "Run", "C:\\r1.exe C:\\r2.exe")
    add(HKCU_NT_WINDOWS, "Load", "a\\0b", kind="REG_MULTI_SZ")
    add(HKCU_POLICY_SYSTEM, "Shell", "explorer.exe,other.exe")
    winlogon("other.exe,explorer.exe", "C:\\windows\\system32\\userinit.exe,",
             "C:\\windows\\system32\\userinit.exe,C:\\pelmo\\extra.exe")
    for i in IDS[:3] + IDS[4:]:
        reg("add", BHO + "\\" + i, "/f", "/reg:64")
    reg("add", BHO + "\\" + IDS[3], "/f", "/reg:32")
    add(CLSID + "\\" + IDS[0], None, "Pelmo Toolbar Helper")
    add(CLSID + "\\" + IDS[0] + "\\InprocServer32", None, "C:\\Program Files\\Pelmo\\toolbar.dll")
    reg("add", CLSID + "\\" + IDS[1], "/f", "/reg:64")
    add(CLSID + "\\" + IDS[1] + "\\InprocServer32", None, "%ProgramFiles%\\Pelmo\\beta.dll", kind="REG_EXPAND_SZ")
    add(CLSID + "\\" + IDS[3], None, "Only 32-bit", view=32)
    add(CLSID + "\\" + IDS[4], None, "1", kind="REG_DWORD")


def golden_quiet(user, common):
    return [STARS, "", "===== BHOs =====", "", "", "===== Autoruns =====", "", STARS]


def golden_full(user, common):
    lines = [STARS, "", "===== BHOs =====", "",
             "Pelmo Toolbar Helper, C:\\Program Files\\Pelmo\\toolbar.dll",
             ", %ProgramFiles%\\Pelmo\\beta.dll",
             ", ",
             "=dword:00000001, ",
             "", "===== Autoruns =====", "",
             "---------- Startup ----------",
             user + "\\notes.txt",
             '"%stool.exe" /min --tray' % TARGETS,
             '"%ssub tool.exe" ' % TARGETS,
             common + "\\agent.bat",
             "---------- Run ----------",
             "=C:\\default.exe", "Counter=dword:00000007", "Tray=C:\\tray.exe /min",
             "Native64=C:\\native64.exe"]
    lines += ["Wow32=C:\\wow32.exe"] if WOW64 else []
    lines += ["---------- RunOnce ----------", "Once=C:\\once.exe",
              "---------- RunOnceEx ----------", "rundll32.exe a.dll", "rundll32.exe a.dll,Install",
              "rundll32.exe a.dll,Install /q", "rundll32.exe cmd.exe /c x",
              "---------- policies Run ----------", "Policy=C:\\policy.exe"]
    # The Policies key is one key in both views, so its 32-bit row repeats it.
    lines += ["Policy=C:\\policy.exe"] if WOW64 else []
    lines += ["---------- NT Run ----------", "C:\\r1.exe", "C:\\r2.exe",
              "Load=hex:61,00,00,00,62,00,00,00,00,00",
              "---------- Windows Shell ----------", "other.exe", "other.exe", "explorer.exe"]
    lines += ["C:\\pelmo\\extra.exe"] if WOW64 else []
    return lines + [STARS]


CASES = [("only standard entries", common_fixture, golden_quiet),
         ("every group", full_fixture, golden_full)]


class AutorunBlocks(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.user = shell_folder(CSIDL_STARTUP)
        self.common = shell_folder(CSIDL_COMMON_STARTUP)
        self.assertTrue(self.user and self.common)
        self.addCleanup(self.remove_fixture)
        self.remove_fixture()

    def remove_fixture(self):
        for view, key in FIXTURE_KEYS:
            pelmo.reg_delete(key, view=view)
        for view in (32, 64):
            pelmo.run_tool(["reg", "delete", WINLOGON, "/v", "Userinit", "/f", "/reg:%d" % view])
            add(WINLOGON, "Shell", "explorer.exe", view=view)
        for folder in (self.user, self.common):
            unix = pelmo.to_unix(folder)
            for child in list(unix.iterdir()) if unix.exists() else []:
                pelmo.clean_dir(child) if child.is_dir() else child.unlink()
        pelmo.clean_dir(pelmo.to_unix(TARGETS))

    def block(self, run):
        """From the separator before the helper objects to the one after
        the autorun entries."""
        with zipfile.ZipFile(run.archive_unix) as z:
            data = z.read("Pelmo_Debug_Info.txt")
        report = data[2:].decode("utf-16-le").split("\r\n")
        start = report.index("===== BHOs =====") - 2
        end = report.index("===== Autoruns =====")
        end = report.index(STARS, end)
        return report[start:end + 1]

    def test_blocks_match_their_golden_text(self):
        log = pelmo.BUILD / "PelmoHelper.log"
        for name, fixture, golden in CASES:
            with self.subTest(name):
                self.remove_fixture()
                fixture(self.user, self.common)
                run = pelmo.run_gathering(["/LOG"])
                self.assertEqual(self.block(run), golden(self.user, self.common))
                texts = pelmo.log_texts(log)
                self.assertIn("GetBHOItemListEx Succ", texts)
                self.assertIn("GetAutorunListx Succ", texts)
                log.unlink()


if __name__ == "__main__":
    unittest.main()
