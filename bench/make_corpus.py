"""Writes the deterministic benchmark corpus (~200 MB): text logs, binaries,
many small files and one large file.   make_corpus.py FOLDER"""
import os
import random
import sys

root = sys.argv[1]
rng = random.Random(20261210)
WORDS = ("CopyFile GetFiles succ except Molvane Antivirus update engine scan quarantine service "
         "registry value key path version driver thread process module loaded unloaded").split()


def write(rel, data):
    path = os.path.join(root, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def log_text(size):
    lines = []
    total = 0
    t = rng.randrange(10 ** 6)
    while total < size:
        t += rng.randrange(1, 5000)
        words = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(3, 14)))
        line = "2026-12-%02d %02d:%02d:%02d.%03d  >>|%s %d|<<\r\n" % (
            1 + t // 86400000 % 28, t // 3600000 % 24, t // 60000 % 60, t // 1000 % 60, t % 1000,
            words, rng.randrange(10 ** 6))
        lines.append(line)
        total += len(line) * 2
    return "".join(lines).encode("utf-16-le")[:size]


def binary(size):
    # Code-like data: random bytes with repeated blocks, so it compresses a little.
    blocks = [rng.randbytes(rng.randrange(64, 4096)) for _ in range(64)]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(blocks) if rng.random() < 0.6 else rng.randbytes(rng.randrange(16, 2048))
    return bytes(out[:size])


for i in range(40):  # text logs: 80 MB
    write("AppData/Logs/log%02d.log" % i, log_text(2 << 20))
for i in range(12):  # binaries: 48 MB
    write("AppPath/bin/module%02d.dll" % i, binary(4 << 20))
for i in range(3000):  # many small files: ~12 MB
    kind = rng.random()
    size = rng.randrange(200, 8000)
    write("ProgramData/small/%02d/f%04d.%s" % (i % 37, i, "ini" if kind < 0.5 else "dat"),
          log_text(size) if kind < 0.5 else binary(size))
write("Minidump/large.dmp", binary(32 << 20) + log_text(28 << 20))  # one large file: 60 MB
