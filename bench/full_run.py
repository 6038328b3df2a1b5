"""The timed full gathering of bench/run (the environment comes from it)."""
import datetime
import os
import pathlib
import random
import subprocess
import sys
import time
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "harness"))
import pelmo  # noqa: E402
import vendor  # noqa: E402

rng = random.Random(20261210)
WORDS = ("CopyFile GetFiles succ except Molvane Antivirus update engine scan quarantine service "
         "registry value key path version driver thread process module loaded unloaded").split()


def log_text(size):
    lines, total, t = [], 0, rng.randrange(10 ** 6)
    while total < size:
        t += rng.randrange(1, 5000)
        line = "2026-12-%02d %02d:%02d:%02d.%03d  >>|%s %d|<<\r\n" % (
            1 + t // 86400000 % 28, t // 3600000 % 24, t // 60000 % 60, t // 1000 % 60, t % 1000,
            " ".join(rng.choice(WORDS) for _ in range(rng.randrange(3, 14))), rng.randrange(10 ** 6))
        lines.append(line)
        total += len(line)
    return "".join(lines).encode()[:size]


def dump(size):
    blocks = [rng.randbytes(rng.randrange(64, 4096)) for _ in range(64)]
    out = bytearray(b"MDMP")
    while len(out) < size:
        out += rng.choice(blocks) if rng.random() < 0.6 else bytes(rng.randrange(16, 8192))
    return bytes(out[:size])


def enlarge():
    """~4,980 logs (~240 MB) in the folders the report collects, 20 dumps (~260 MB)."""
    files = 0
    folders = [vendor.USER + "Pelmo\\Molvane\\Log\\", vendor.COMMON + "Pelmo\\Molvane\\Log\\",
               vendor.MLV + "MLVServiceLog\\", vendor.MLV + "Boottimelog\\", vendor.COMMON + "BDLogging\\big\\"]
    sample = [log_text(rng.randrange(20000, 100000)) for _ in range(50)]
    for folder in folders:
        base = pelmo.to_unix(folder)
        base.mkdir(parents=True, exist_ok=True)
        for i in range(996):
            (base / ("log%04d.log" % i)).write_bytes(sample[(i * 7 + files) % len(sample)])
            files += 1
    dumps = pelmo.to_unix(vendor.MLV + "DumpFile")
    dumps.mkdir(parents=True, exist_ok=True)
    for i in range(20):
        (dumps / ("crash%02d.dmp" % i)).write_bytes(dump(13 << 20))
        files += 1
    return files


def log_times(path):
    """(time, text) of each line of the diagnostic log."""
    data = pathlib.Path(path).read_bytes()
    text = data[2:].decode("utf-16-le") if data[:2] == b"\xff\xfe" else data.decode("utf-16-le")
    out = []
    for line in text.split("\r\n"):
        b, e = line.find(">>|"), line.find("|<<")
        if b < 0 or e < 0:
            continue
        stamp = line[:b].strip()
        try:
            when = datetime.datetime.strptime(stamp[:23], "%Y-%m-%d %H:%M:%S.%f")
        except ValueError:
            continue
        out.append((when, line[b + 3:e]))
    return out


def seconds_between(times, first, last):
    a = next(t for t, s in times if s.startswith(first))
    b = next(t for t, s in reversed(times) if s.startswith(last))
    return (b - a).total_seconds()


def main():
    vendor.install()
    files = 0 if os.environ.get("PELMO_BENCH_SMALL") else enlarge()
    size_mb = sum(p.stat().st_size for p in pelmo.to_unix("C:\\").rglob("*")
                  if p.is_file() and ("Pelmo" in str(p) or "BDLogging" in str(p))) / 1e6
    # Warm the file cache, so the run does not pay for the first read.
    subprocess.run(["sh", "-c", "find \"$0\" -type f -path '*Pelmo*' -print0 | xargs -0 cat > /dev/null",
                    str(pelmo.to_unix("C:\\"))], check=False)
    # The stand-in systeminfo's own time, less the Wine start, is the side task's.
    t0 = time.time()
    pelmo.run_wine(["cmd.exe", "/c", "ver"])
    t1 = time.time()
    pelmo.run_wine(["cmd.exe", "/c", "systeminfo > nul"])
    t2 = time.time()
    side = max(0.0, (t2 - t1) - (t1 - t0))

    host_dir = vendor.MLV  # the product runs the gathering from its own folder
    host = pelmo.to_unix(host_dir + "PelmoTestHost.exe")
    dll = pelmo.to_unix(host_dir + "PelmoHelper.dll")
    host.write_bytes((pelmo.BUILD / "tests" / "PelmoTestHost.exe").read_bytes())
    dll.write_bytes((pelmo.BUILD / "PelmoHelper.dll").read_bytes())
    run = pelmo.run_gathering(["/LOG"], host=host, dll=dll, timeout=3600)
    times = log_times(pelmo.to_unix(host_dir + "PelmoHelper.log"))
    # Packing (and reading the archive back) follows the wait for the side task.
    pack = seconds_between(times, "WaitGetSystemInfo Succ", "ZipFile Succ")
    sample = 1.0
    floor = sample + max(side, pack)
    elapsed = run.elapsed_ms / 1000.0
    archive = run.archive_unix
    with zipfile.ZipFile(archive) as z:
        assert z.testzip() is None
        members = len(z.namelist())
        packed = sum(i.file_size for i in z.infolist())
    print("installation: %d added files, %.0f MB of product files" % (files, size_mb))
    print("archive: %d members, %.0f MB packed into %.0f MB" % (members, packed / 1e6, archive.stat().st_size / 1e6))
    print("run: %.1f s; floor %.1f s (process sample %.1f s + the slower of side task %.1f s and packing %.1f s)"
          % (elapsed, floor, sample, side, pack))
    print("run / floor: %.2fx (target <= 1.3x)" % (elapsed / floor))
    print("peak working set: %.1f MiB (target <= 64 MiB)" % (run.peak_bytes / 1048576))
    by_step = []
    for (t_a, s_a), (t_b, _) in zip(times, times[1:]):
        by_step.append(((t_b - t_a).total_seconds(), s_a))
    print("slowest stretches (time until the next log line):")
    for secs, text in sorted(by_step, reverse=True)[:6]:
        print("  %6.1f s  after %s" % (secs, text[:90]))


if __name__ == "__main__":
    main()
