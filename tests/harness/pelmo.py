"""Helpers for tests that drive the cross-built programs in the run's Wine prefix.

The prefix, the Wine loader wrapper and the build folder come from the
environment that ctest sets (PELMO_WINEPREFIX, PELMO_WINE_RUN, PELMO_BUILD).
"""
import os
import pathlib
import shutil
import subprocess
import tempfile
import time
import zipfile

PREFIX = pathlib.Path(os.environ.get("PELMO_WINEPREFIX", ""))
WINE_RUN = os.environ.get("PELMO_WINE_RUN", "")
BUILD = pathlib.Path(os.environ.get("PELMO_BUILD", "."))
SOURCE = pathlib.Path(os.environ.get("PELMO_SOURCE", "."))
WINE64 = "/usr/lib/wine/wine64"


def wine_env(extra=None):
    env = dict(os.environ)
    env["WINEPREFIX"] = str(PREFIX)
    env["WINEDEBUG"] = "-all"
    env["WINEDLLOVERRIDES"] = "winemenubuilder.exe=d;mscoree=d;mshtml=d"
    display = PREFIX / ".display"
    if display.exists():
        env["DISPLAY"] = display.read_text().strip()
    if extra:
        env.update(extra)
    return env


def run_wine(args, extra_env=None, timeout=600, check=True):
    """Runs a Windows program of this build through the loader wrapper."""
    proc = subprocess.run([WINE_RUN] + [str(a) for a in args], env=wine_env(extra_env),
                          capture_output=True, timeout=timeout)
    if check and proc.returncode != 0:
        raise AssertionError("%s failed (%d): %s %s" % (args[0], proc.returncode,
                                                       proc.stdout.decode(errors="replace"),
                                                       proc.stderr.decode(errors="replace")))
    return proc


def run_tool(args, timeout=120):
    """Runs a Wine tool (reg, regedit, attrib, cmd) with the 64-bit loader."""
    return subprocess.run([WINE64] + list(args), env=wine_env(), capture_output=True, timeout=timeout)


def user_name():
    users = [p.name for p in (PREFIX / "drive_c" / "users").iterdir() if p.name != "Public"]
    return users[0]


def to_unix(win_path):
    """Maps a C:\\ path of the prefix to the Linux file system."""
    p = win_path.replace("\\", "/")
    if len(p) >= 2 and p[1] == ":":
        drive = p[0].lower()
        base = (PREFIX / "dosdevices" / (drive + ":")).resolve()
        return base / p[3:] if len(p) > 3 else base
    raise ValueError("not a drive path: " + win_path)


def to_win(unix_path):
    rel = pathlib.Path(unix_path).resolve().relative_to((PREFIX / "drive_c").resolve())
    return "C:\\" + str(rel).replace("/", "\\")


def temp_folder():
    return PREFIX / "drive_c" / "users" / user_name() / "Temp"


def desktop_folder():
    return PREFIX / "drive_c" / "users" / user_name() / "Desktop"


def put_file(win_path, data, hidden=False, system=False, readonly=False, mtime=None):
    """Puts a file into the prefix, with attributes and a modification time."""
    target = to_unix(win_path)
    target.parent.mkdir(parents=True, exist_ok=True)
    target.write_bytes(data if isinstance(data, bytes) else data.encode())
    if mtime is not None:
        os.utime(target, (mtime, mtime))
    flags = [f for f, on in (("+h", hidden), ("+s", system), ("+r", readonly)) if on]
    if flags:
        proc = run_tool(["attrib"] + flags + [win_path])
        if proc.returncode != 0:
            raise AssertionError("attrib failed: %r" % proc.stderr)
    return target


def reg_add(key, name, kind, data, view=32):
    """Adds a registry value in the 32- or 64-bit view."""
    args = ["reg", "add", key, "/f", "/reg:%d" % view]
    if name is None:
        args += ["/ve"]
    else:
        args += ["/v", name]
    args += ["/t", kind, "/d", str(data)]
    # Wine's reg.exe now and then fails without a word while another
    # program of the prefix starts; the same call is made again.
    for _ in range(3):
        proc = run_tool(args)
        if proc.returncode == 0 or proc.stderr:
            break
        time.sleep(1)
    if proc.returncode != 0:
        raise AssertionError("reg add failed: %r" % proc.stderr)


def reg_delete(key, view=32):
    run_tool(["reg", "delete", key, "/f", "/reg:%d" % view])


def reg_import(text):
    """Imports .reg text (UTF-16) with regedit."""
    with tempfile.NamedTemporaryFile(suffix=".reg", dir=temp_folder(), delete=False) as f:
        f.write(b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le"))
        path = f.name
    try:
        proc = run_tool(["regedit", "/S", to_win(path)])
        if proc.returncode != 0:
            raise AssertionError("regedit failed: %r" % proc.stderr)
    finally:
        os.unlink(path)


class HostRun:
    def __init__(self, archive, progress, stdout, elapsed_ms=0, peak_bytes=0):
        self.archive = archive
        self.progress = progress
        self.stdout = stdout
        self.elapsed_ms = elapsed_ms
        self.peak_bytes = peak_bytes

    @property
    def archive_unix(self):
        return to_unix(self.archive)


def run_gathering(args=(), timeout=600, host=None, dll=None):
    """Runs one gathering through the test host that loads PelmoHelper.dll
    (by default the built ones; a product folder may hold copies)."""
    out = temp_folder() / ("host-%d.txt" % os.getpid())
    if out.exists():
        out.unlink()
    host = host or BUILD / "tests" / "PelmoTestHost.exe"
    dll = dll or BUILD / "PelmoHelper.dll"
    extra = {"PELMO_HOST_OUT": to_win(str(out)), "PELMO_DLL": to_win_any(dll)}
    proc = run_wine([host] + list(args), extra_env=extra, timeout=timeout)
    lines = out.read_text(encoding="utf-8").splitlines()
    out.unlink()
    archive = ""
    progress = []
    numbers = {"elapsed": 0, "peak": 0}
    for line in lines:
        key = line.split("=", 1)[0]
        if key in numbers:
            numbers[key] = int(line.split("=", 1)[1])
        if line.startswith("archive="):
            archive = line[len("archive="):]
        elif line.startswith("progress="):
            w, l = line[len("progress="):].split(",")
            progress.append((int(w), int(l)))
    return HostRun(archive, progress, proc.stdout, numbers["elapsed"], numbers["peak"])


def to_win_any(unix_path):
    """A Windows path for any Linux path (through Wine's Z: drive)."""
    p = pathlib.Path(unix_path).resolve()
    try:
        return to_win(p)
    except ValueError:
        return "Z:" + str(p).replace("/", "\\")


def read_utf16_lines(path):
    data = pathlib.Path(path).read_bytes()
    assert data[:2] == b"\xff\xfe", "no byte-order mark in %s" % path
    text = data[2:].decode("utf-16-le")
    assert text == "" or text.endswith("\r\n"), "last line of %s has no CR LF" % path
    return text.split("\r\n")[:-1] if text else []


def log_texts(path):
    """The texts between >>| and |<< of a diagnostic log, in order."""
    data = pathlib.Path(path).read_bytes()
    if data[:2] == b"\xff\xfe":
        data = data[2:]
    text = data.decode("utf-16-le")
    out = []
    pos = 0
    while True:
        b = text.find(">>|", pos)
        if b < 0:
            return out
        e = text.find("|<<", b)
        out.append(text[b + 3:e])
        pos = e + 3


def check_archive(path, test_case):
    """Checks an archive with three independent readers."""
    with zipfile.ZipFile(path) as z:
        test_case.assertIsNone(z.testzip())
        empty = not z.namelist()
    for cmd in (["unzip", "-tqq", str(path)], ["7z", "t", "-bd", str(path)]):
        proc = subprocess.run(cmd, capture_output=True)
        if empty and cmd[0] == "unzip" and proc.returncode == 1 and b"zipfile is empty" in proc.stdout:
            continue  # unzip's warning code for an archive without entries
        test_case.assertEqual(proc.returncode, 0, "%s: %s %s" % (cmd[0], proc.stdout, proc.stderr))


def clean_dir(path):
    path = pathlib.Path(path)
    if path.exists():
        subprocess.run(["chmod", "-R", "u+w", str(path)])
        shutil.rmtree(path)
