"""The main job, as a user does it: start PelmoHelper.exe, press "Save report",
read the message box, press OK; then print where the archive landed and list it."""
import pathlib
import re
import subprocess
import sys
import time
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import pelmo  # noqa: E402

GUI = pelmo.BUILD / "tests" / "GuiDriver.exe"


def gui(*args, timeout=60):
    return pelmo.run_wine([GUI] + [str(a) for a in args], timeout=timeout, check=False)


program = subprocess.Popen([pelmo.WINE_RUN, str(pelmo.BUILD / "PelmoHelper.exe")], env=pelmo.wine_env(),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
hwnd = None
end = time.time() + 90
while time.time() < end and hwnd is None:
    try:
        proc = gui("find", "TForm_PelmoInfo", "Pelmo Helper V9", 2000, timeout=15)
        if proc.returncode == 0:
            hwnd = proc.stdout.decode().strip()
    except subprocess.TimeoutExpired:
        pass
if hwnd is None:
    program.kill()
    sys.exit("the window of PelmoHelper.exe did not appear")
print("window up; pressing \"Save report\"")
gui("click", hwnd, "Save report")
box = gui("box", 600000, timeout=700).stdout.decode("utf-8")
text = ""
for line in box.splitlines():
    if line.startswith("text "):
        text = re.sub(r"\\(.)", lambda m: {"r": "\r", "n": "\n"}.get(m.group(1), m.group(1)), line[5:])
print("message box: " + text.replace("\r", " | "))
code = program.wait(timeout=60)
print("PelmoHelper.exe ended with exit code %d" % code)
saved = text.split("\r", 1)[1] if "\r" in text else ""
if not saved.lower().endswith("pelmo_debug_info.zip"):
    sys.exit("no archive was made")
path = pelmo.to_unix(saved)
print("archive: %s" % saved)
print("on Linux: %s" % path)
with zipfile.ZipFile(path) as z:
    for info in z.infolist():
        print("%10d  %04d-%02d-%02d %02d:%02d  %s" % ((info.file_size,) + info.date_time[:5] + (info.filename,)))
