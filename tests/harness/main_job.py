"""The main job in the run's prefix: one gathering through the library build
(the window comes with the stand-alone program), then the archive is listed."""
import pathlib
import sys
import zipfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import pelmo  # noqa: E402

run = pelmo.run_gathering([])
path = run.archive_unix
if not path.exists():
    print("no archive was made; expected at %s" % run.archive)
    sys.exit(1)
print("archive: %s" % run.archive)
print("on Linux: %s" % path)
with zipfile.ZipFile(path) as z:
    for info in z.infolist():
        print("%10d  %04d-%02d-%02d %02d:%02d  %s" % ((info.file_size,) + info.date_time[:5] + (info.filename,)))
