"""A small but complete installation of the vendor's products in the test
prefix: uninstall entries and product keys in the 32-bit registry view,
install folders with versioned and unversioned files, logs in the folders
the report collects from, and the antivirus version files.

install() builds it, remove() takes it away again. FILES maps each Windows
path to its bytes; the tests compare the archive against it."""
import shutil
import time

import pelmo

PF86 = "C:\\Program Files (x86)\\Pelmo\\"
MLV = PF86 + "Molvane\\"
MLV8 = PF86 + "Molvane 8\\"
MLVU = PF86 + "Molvane Ultimate\\"
GDX = PF86 + "Pelmo Gardex\\"
USER = "C:\\users\\%s\\AppData\\Roaming\\" % pelmo.user_name()
COMMON = "C:\\ProgramData\\"
UNINSTALL = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
PRODUCT_KEYS = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Pelmo\\"
OUTSIDE_OEM = "\u65e5\u5fd7.log"  # no OEM code page holds these characters
HOUR = 3600


def _text(name):
    return ("%s\r\nline two of %s\r\n" % (name, name)).encode()


# Windows path -> bytes (None: copied from a built program, see PROGRAMS).
FILES = {
    # The main product's program folder.
    MLV + "Engine.dll": None,
    MLV + "readme.txt": _text("readme"),
    MLV + "empty.dat": b"",
    MLV + "MolvaneUpdate.log": _text("update log"),
    MLV + "AutoUpdate.log": _text("auto update"),
    MLV + "hidden.log": _text("hidden"),
    MLV + OUTSIDE_OEM: _text("outside the OEM code page"),
    MLV + "checkinfo.txt": _text("checkinfo"),
    MLV + "sh.dat": b"\x00\x01\x02sh",
    MLV + "MLVService_Log.txt": _text("service log"),
    MLV + "Display_log.txt": _text("display"),
    MLV + "Bugreport.txt": _text("bug report"),
    MLV + "Antivirus\\Plugins\\update.txt": _text("plugins update"),
    MLV + "Antivirus\\DetectionEx.ini": b"[Detection]\r\nLevel=2\r\n",
    MLV + "Antivirus\\.SVN\\kept.txt": _text("upper-case svn"),
    MLV + ".svn\\entries": _text("svn entries"),
    MLV + "MLVServiceLog\\svc1.log": _text("svc1"),
    MLV + "MLVServiceLog\\old\\deep.log": _text("deep"),
    MLV + "Boottimelog\\boot.txt": _text("boot"),
    MLV + "Update\\Update.ini": b"[Beta]\r\nValue=0\r\n",
    MLV + "Update\\other.ini": b"[Other]\r\nA=1\r\n",
    MLV + "DumpFile\\crash.dmp": b"MDMP" + bytes(60),
    # An older version's folder.
    MLV8 + "v8.txt": _text("version 8"),
    # The Ultimate suite, with its antivirus version files.
    MLVU + "ult.log": _text("ultimate"),
    MLVU + "Suite.dll": None,
    MLVU + "Antivirus\\versions.dat": b"versions.dat, older",
    MLVU + "Antivirus\\versions.dat.bak": b"versions.dat.bak, newer",
    MLVU + "Antivirus\\versions.dat.upd": b"versions.dat.upd, newest but never taken",
    MLVU + "Antivirus\\versions.id": b"versions.id",
    # The anti-malware product; its Antivirus folder stays empty.
    GDX + "gdx.log": _text("gdx"),
    GDX + "autoupdate.log": _text("gdx auto update"),
    GDX + "log\\g1.log": _text("gdx log 1"),
    GDX + "update\\gdx.ini": b"[Update]\r\nServer=1\r\n",
    # Per-user data.
    USER + "Pelmo\\Molvane\\settings.ini": b"[Main]\r\nLang=en\r\n",
    USER + "Pelmo\\Molvane\\app.log": _text("app"),
    USER + "Pelmo\\Molvane\\Log\\u1.txt": _text("user log"),
    USER + "Pelmo\\Molvane\\Backup\\b.bak": _text("backup"),
    USER + "Pelmo\\Molvane\\Backup\\desktop.ini": b"[.ShellClassInfo]\r\n",
    USER + "Pelmo\\Molvane\\Backup\\Old\\old.bak": _text("old backup"),
    USER + "Pelmo\\Molvane Ultimate\\u.ini": b"[U]\r\nX=1\r\n",
    USER + "Pelmo\\Pelmo Gardex\\g.ini": b"[G]\r\nY=2\r\n",
    USER + "Pelmo\\Pelmo Gardex\\sub\\s.log": _text("gdx user sub"),
    USER + "Pelmo\\Pelmo Gardex\\.svn\\x.log": _text("svn in gdx"),
    # Common data.
    COMMON + "Pelmo\\Molvane\\data.dat": b"data",
    COMMON + "Pelmo\\Molvane\\conf.ini": b"[Conf]\r\nZ=3\r\n",
    COMMON + "Pelmo\\Molvane\\Log\\c1.log": _text("common log"),
    COMMON + "Pelmo\\Molvane\\App.bk": b"app backup",
    COMMON + "Pelmo\\dnsprotect.ini": b"[DNS]\r\nOn=1\r\n",
    COMMON + "Pelmo\\LocalIgnore.ini": b"[Ignore]\r\n",
    COMMON + "Pelmo\\MLVDownloader\\dl.log": _text("downloader"),
    COMMON + "Pelmo\\Pelmo Gardex\\gc.log": _text("gdx common"),
    COMMON + "BDLogging\\a.log": _text("engine log a"),
    COMMON + "BDLogging\\sub\\b.log": _text("engine log b"),
    "C:\\windows\\Minidump\\010124-1-01.dmp": b"MDMP" + bytes(28),
    "C:\\Program Files\\Pelmo\\LiveUpdate\\lu.log": _text("live update"),
    "C:\\Program Files (x86)\\Pelmo\\LiveUpdate\\lu.log": _text("live update"),
}
HIDDEN = {MLV + "hidden.log"}
EMPTY_FOLDERS = [GDX + "Antivirus"]
# Built programs with version resources (Engine 10.2.65535.1).
PROGRAMS = {MLV + "Engine.dll": "fixtures/ver_full.dll", MLVU + "Suite.dll": "fixtures/ver_mismatch.dll"}
# Distinct times for the version files: .bak is the newest of the two taken.
TIMES = {MLVU + "Antivirus\\versions.dat": -3 * HOUR, MLVU + "Antivirus\\versions.dat.bak": -2 * HOUR,
         MLVU + "Antivirus\\versions.dat.upd": -1 * HOUR}

REGISTRY = """Windows Registry Editor Version 5.00

[{u}Molvane_is1]
"DisplayName"="Molvane"
"InstallLocation"="{mlv}"

[{u}Molvane 8_is1]
"DisplayName"="Molvane 8"
"InstallLocation"="{mlv8}"

[{u}Molvane Ultimate_is1]
"DisplayName"="Molvane Ultimate"
"InstallLocation"="{mlvu}"

[{u}Pelmo Gardex_is1]
"DisplayName"="Pelmo Gardex"
"Inno Setup: App Path"="{gdx}"

[{p}Molvane]
"apppath"="{mlv}Molvane.exe"

[{p}Molvane Ultimate]
"mlvuv9uninstallpath"="{mlvu}unins000.exe"
"""


def _reg(path):
    return path.replace("\\", "\\\\")


def install():
    now = time.time()
    for path, data in FILES.items():
        if data is None:
            target = pelmo.to_unix(path)
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(pelmo.BUILD / "tests" / PROGRAMS[path], target)
        else:
            pelmo.put_file(path, data, mtime=now + TIMES.get(path, -10 * HOUR))
    for path in HIDDEN:
        proc = pelmo.run_tool(["attrib", "+h", path])
        assert proc.returncode == 0, proc.stderr
    for folder in EMPTY_FOLDERS:
        pelmo.to_unix(folder).mkdir(parents=True, exist_ok=True)
    pelmo.reg_import(REGISTRY.format(u=UNINSTALL, p=PRODUCT_KEYS, mlv=_reg(MLV), mlv8=_reg(MLV8), mlvu=_reg(MLVU),
                                     gdx=_reg(GDX)))


def remove():
    for key in ("Molvane_is1", "Molvane 8_is1", "Molvane Ultimate_is1", "Pelmo Gardex_is1"):
        pelmo.run_tool(["reg", "delete", UNINSTALL + key, "/f"])
    pelmo.run_tool(["reg", "delete", PRODUCT_KEYS.rstrip("\\"), "/f"])
    for folder in (PF86, USER + "Pelmo", COMMON + "Pelmo", COMMON + "BDLogging", "C:\\windows\\Minidump",
                   "C:\\Program Files\\Pelmo"):
        pelmo.clean_dir(pelmo.to_unix(folder))


def source_bytes(path):
    return pelmo.to_unix(path).read_bytes()
