"""A whole gathering on a machine with the vendor's products installed (the
fixture of harness/vendor.py), run by the main product's own process from its
program folder; the archive is checked member by member."""
import hashlib
import pathlib
import re
import shutil
import subprocess
import sys
import unittest
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "harness"))
import pelmo  # noqa: E402
import vendor  # noqa: E402
from vendor import MLV, MLV8, MLVU, GDX, USER, COMMON, OUTSIDE_OEM  # noqa: E402

REPORTS = ["Pelmo_Debug_Info.txt", "uninstall.txt", "dnsGetinfo.txt", "FilesInfo.txt", "SystemInfo.txt", "task.txt"]
# Archive member -> the file it is a copy of.
COPIES = {
    # The pattern table.
    "AppPath\\MolvaneUpdate.log": MLV + "MolvaneUpdate.log",
    "AppPath\\AutoUpdate.log": MLV + "AutoUpdate.log",
    "AppPath\\" + OUTSIDE_OEM: MLV + OUTSIDE_OEM,
    "AppPath\\Antivirus\\Plugins\\update.txt": MLV + "Antivirus\\Plugins\\update.txt",
    "AppPath\\Antivirus\\DetectionEx.ini": MLV + "Antivirus\\DetectionEx.ini",
    "AppPath\\Bugreport.txt": MLV + "Bugreport.txt",
    "AppPath\\checkinfo.txt": MLV + "checkinfo.txt",
    "AppPath\\sh.dat": MLV + "sh.dat",
    "AppPath\\MLVService_Log.txt": MLV + "MLVService_Log.txt",
    "AppPath\\MLVServiceLog\\svc1.log": MLV + "MLVServiceLog\\svc1.log",
    "AppPath\\Boottimelog\\boot.txt": MLV + "Boottimelog\\boot.txt",
    "AppPath\\Update\\Update.ini": MLV + "Update\\Update.ini",
    "AppPath\\Update\\other.ini": MLV + "Update\\other.ini",
    "AppPath\\Display_log.txt": MLV + "Display_log.txt",
    "AppPath\\DumpFile\\crash.dmp": MLV + "DumpFile\\crash.dmp",
    "ProgramData\\data.dat": COMMON + "Pelmo\\Molvane\\data.dat",
    "ProgramData\\conf.ini": COMMON + "Pelmo\\Molvane\\conf.ini",
    "ProgramData\\Log\\c1.log": COMMON + "Pelmo\\Molvane\\Log\\c1.log",
    "ProgramData\\App.bk": COMMON + "Pelmo\\Molvane\\App.bk",
    "AppData\\settings.ini": USER + "Pelmo\\Molvane\\settings.ini",
    "AppData\\app.log": USER + "Pelmo\\Molvane\\app.log",
    "AppData\\Log\\u1.txt": USER + "Pelmo\\Molvane\\Log\\u1.txt",
    "AppData\\Backup\\b.bak": USER + "Pelmo\\Molvane\\Backup\\b.bak",
    "AppData\\Backup\\desktop.ini": USER + "Pelmo\\Molvane\\Backup\\desktop.ini",
    "MLVDownloader\\dl.log": COMMON + "Pelmo\\MLVDownloader\\dl.log",
    "dnsprotect.ini": COMMON + "Pelmo\\dnsprotect.ini",
    "LocalIgnore.ini": COMMON + "Pelmo\\LocalIgnore.ini",
    "Minidump\\010124-1-01.dmp": "C:\\windows\\Minidump\\010124-1-01.dmp",
    "OtherInfo\\BDLogging\\a.log": COMMON + "BDLogging\\a.log",
    "OtherInfo\\BDLogging\\sub\\b.log": COMMON + "BDLogging\\sub\\b.log",
    "Program Files(x86)\\LiveUpdate\\lu.log": "C:\\Program Files%s\\Pelmo\\LiveUpdate\\lu.log"
    % (" (x86)" if "i686" in str(pelmo.BUILD) else ""),
    # The main product's file set.
    "MLV9AppPath\\MLVService_Log.txt": MLV + "MLVService_Log.txt",
    "MLV9AppPath\\checkinfo.txt": MLV + "checkinfo.txt",
    "MLV9AppPath\\sh.dat": MLV + "sh.dat",
    "MLV9AppPath\\Display_log.txt": MLV + "Display_log.txt",
    "MLV9AppPath\\MolvaneUpdate.log": MLV + "MolvaneUpdate.log",
    "MLV9AppPath\\AutoUpdate.log": MLV + "AutoUpdate.log",
    "MLV9AppPath\\" + OUTSIDE_OEM: MLV + OUTSIDE_OEM,
    "MLV9AppPath\\Update\\Update.ini": MLV + "Update\\Update.ini",
    "MLV9AppPath\\Update\\other.ini": MLV + "Update\\other.ini",
    "MLV9AppPath\\MLVServiceLog\\svc1.log": MLV + "MLVServiceLog\\svc1.log",
    "MLV9AppPath\\Boottimelog\\boot.txt": MLV + "Boottimelog\\boot.txt",
    "MLV_AppData\\settings.ini": USER + "Pelmo\\Molvane\\settings.ini",
    "MLV_AppData\\Log\\u1.txt": USER + "Pelmo\\Molvane\\Log\\u1.txt",
    "MLV_AppData\\Backup\\b.bak": USER + "Pelmo\\Molvane\\Backup\\b.bak",
    "MLV_ProgramData\\conf.ini": COMMON + "Pelmo\\Molvane\\conf.ini",
    # The Ultimate suite's set and its newest version files.
    "MLVU\\AppPath\\ult.log": MLVU + "ult.log",
    "MLVU\\AppData\\u.ini": USER + "Pelmo\\Molvane Ultimate\\u.ini",
    "MLVU\\ProgramData\\data.dat": COMMON + "Pelmo\\Molvane\\data.dat",
    "MLVU\\ProgramData\\conf.ini": COMMON + "Pelmo\\Molvane\\conf.ini",
    "MLVU\\ProgramData\\Log\\c1.log": COMMON + "Pelmo\\Molvane\\Log\\c1.log",
    "MLVU\\ProgramData\\App.bk": COMMON + "Pelmo\\Molvane\\App.bk",
    "AppPath\\Antivirus\\versions.dat.bak": MLVU + "Antivirus\\versions.dat.bak",
    "AppPath\\Antivirus\\versions.id": MLVU + "Antivirus\\versions.id",
    # The anti-malware product's set (its log listed twice, copied once).
    "GDX\\AppData\\g.ini": USER + "Pelmo\\Pelmo Gardex\\g.ini",
    "GDX\\AppData\\sub\\s.log": USER + "Pelmo\\Pelmo Gardex\\sub\\s.log",
    "GDX\\ProgramData\\gc.log": COMMON + "Pelmo\\Pelmo Gardex\\gc.log",
    "GDX\\AppPath\\log\\g1.log": GDX + "log\\g1.log",
    "GDX\\AppPath\\autoupdate.log": GDX + "autoupdate.log",
    "GDX\\AppPath\\gdx.log": GDX + "gdx.log",
    "GDX\\AppPath\\update\\gdx.ini": GDX + "update\\gdx.ini",
}
MD5_RE = re.compile(r"^[0-9a-f]{32}$")


def md5sum(win_path):
    out = subprocess.run(["md5sum", str(pelmo.to_unix(win_path))], capture_output=True, check=True).stdout
    return out.split()[0].decode()


class ProductReport(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        vendor.install()
        # The main product loads the library from its own folder.
        for name, built in (("PelmoTestHost.exe", pelmo.BUILD / "tests" / "PelmoTestHost.exe"),
                            ("PelmoHelper.dll", pelmo.BUILD / "PelmoHelper.dll")):
            shutil.copyfile(built, pelmo.to_unix(MLV + name))
        cls.gather = pelmo.temp_folder() / "GetInfoDir"
        cls.run_ = pelmo.run_gathering([], host=pelmo.to_unix(MLV + "PelmoTestHost.exe"),
                                       dll=pelmo.to_unix(MLV + "PelmoHelper.dll"))
        with zipfile.ZipFile(cls.run_.archive_unix) as z:
            cls.members = {i.filename.replace("/", "\\"): z.read(i) for i in z.infolist() if not i.is_dir()}
            cls.names = [i.filename for i in z.infolist()]

    @classmethod
    def tearDownClass(cls):
        vendor.remove()

    def report(self, name):
        data = self.members[name]
        self.assertEqual(data[:2], b"\xff\xfe")
        return data[2:].decode("utf-16-le").split("\r\n")[:-1]

    def test_archive_holds_exactly_the_expected_members_as_copies(self):
        pelmo.check_archive(self.run_.archive_unix, self)
        self.assertEqual(sorted(self.members), sorted(REPORTS + list(COPIES)))
        for member, source in COPIES.items():
            self.assertEqual(self.members[member], vendor.source_bytes(source), member)
        # The hidden log was copied but is not packed; the empty antivirus
        # folder of the anti-malware product is made in the gather folder.
        self.assertTrue((self.gather / "AppPath" / "hidden.log").exists())
        self.assertTrue((self.gather / "GDX" / "AppPath" / "Antivirus").is_dir())
        self.assertFalse(any(n.endswith("versions.dat.upd") or n.endswith("versions.dat") for n in self.members))

    def test_manifest_block_of_the_program_folder(self):
        report = self.report("Pelmo_Debug_Info.txt")
        lines = [l for l in report if "   Ver:" in l]
        self.assertEqual(report[report.index(lines[0]) - 1], "*" * 81)
        rows = {}
        for line in lines:
            m = re.match(r"^(.*)   Ver:(.*)   MD5:(.*)   DT:(.*)$", line)
            self.assertIsNotNone(m, line)
            rows[m.group(1)] = m.groups()[1:]
        expected = {p[len(MLV):] for p in vendor.FILES if p.startswith(MLV)} - {".svn\\entries"}
        expected |= {"PelmoTestHost.exe", "PelmoHelper.dll"}
        self.assertEqual(set(rows), expected)
        for rel, (version, digest, when) in rows.items():
            self.assertEqual(digest, md5sum(MLV + rel), rel)
            self.assertRegex(when, r"\d", rel)
        self.assertEqual(rows["Engine.dll"][0], "10.2.65535.1")
        self.assertEqual(rows["PelmoHelper.dll"][0], "9.0.0.1")
        self.assertEqual(rows["readme.txt"][0], "")
        self.assertIn("readme.txt   Ver:   MD5:", "\n".join(lines))
        self.assertEqual(rows["empty.dat"][1], "d41d8cd98f00b204e9800998ecf8427e")
        # Depth-first: a sub-folder's whole tree stands together where the
        # walk met it.
        paths = [l.split("   Ver:")[0] for l in lines]
        for folder in {p.rsplit("\\", 1)[0] for p in paths if "\\" in p}:
            inside = [i for i, p in enumerate(paths) if p.startswith(folder + "\\")]
            self.assertEqual(inside, list(range(inside[0], inside[-1] + 1)), folder)

    def test_files_info_sections(self):
        lines = self.report("FilesInfo.txt")
        headings = [l for l in lines if l.startswith("=====")]
        # The anti-malware entry has only "Inno Setup: App Path": no files, no section.
        self.assertEqual(headings, ["===== Molvane 8 =====", "===== Molvane =====", "===== Molvane Ultimate ====="])
        sections = {}
        for i, h in enumerate(headings):
            start = lines.index(h)
            self.assertEqual((lines[start - 1], lines[start + 1]), ("", ""))
            end = lines.index(headings[i + 1]) - 1 if i + 1 < len(headings) else len(lines)
            sections[h] = lines[start + 2:end]
        for h, rows in sections.items():
            depths = []
            for row in rows:
                path, version, size, digest = row.split(", ")
                self.assertEqual(int(size), len(vendor.source_bytes(path)), row)
                self.assertEqual(digest, md5sum(path), row)
                depths.append(path.count("\\"))
            self.assertEqual(depths, sorted(depths), h)  # breadth-first
        mlv = {r.split(", ")[0]: r for r in sections["===== Molvane ====="]}
        self.assertEqual(mlv[MLV + "Engine.dll"].split(", ")[1], "10.2.65535.1")
        self.assertEqual(mlv[MLV + "readme.txt"].split(", ")[1], "")
        self.assertIn(MLV + ".svn\\entries", mlv)  # no special case for .svn here
        self.assertEqual(sections["===== Molvane 8 ====="],
                         ["%sv8.txt, , %d, %s" % (MLV8, len(vendor.FILES[MLV8 + "v8.txt"]), md5sum(MLV8 + "v8.txt"))])


if __name__ == "__main__":
    unittest.main()
