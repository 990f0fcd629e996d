#!/usr/bin/env python3
"""Generates one benchmark corpus for bench/mkiso.sh.

    gen_corpus.py big|small|tiny|tiny600 DEST
    gen_corpus.py entries DEST N

The trees are the same from one run to the next (fixed seeds, Python's
Mersenne Twister): same names, same sizes, same bytes. DEST must not exist;
the tree is built beside it and renamed into place at the end, so a corpus
that exists is always complete.

  big    200 files of 1 to 30 MB (about 1.5 GB) in 8 folders, random bytes.
  small  100,000 files of 0 to 8 KB in 5,000 folders (100 at the top, 49 in
         each), long accented names: folders of 70 to 100 UTF-16 characters,
         files of 50 to 95 (more than Joliet's 64 in most cases).
  tiny   300,000 files of 0 to 200 bytes in 20,000 folders (200 at the top,
         99 in each), short ASCII names.
  tiny600  600,000 entries of the tiny corpus' shape, a compilation's
         default capacity: 'entries DEST 600000' (562,500 files in 37,500
         folders, 375 at the top).
  entries  N entries (files and folders, N a multiple of 16) of the tiny
         corpus' shape: N/16 folders (top folders of 99 subfolders
         each, the last one fewer) of 15 files of 0 to 200 bytes; bench/scaling.sh measures 10,000 to 1,000,000 of them.
"""

import math
import os
import random
import shutil
import sys

MB = 1000 * 1000

PLACES = ["Zürich", "Besançon", "Genève", "Sète", "Orléans", "Nîmes", "Cœuvres", "Châlons", "Évian", "Île-de-Ré"]
THEMES = [
    "été à {p}, photos et vidéos de vacances",
    "fête de fin d’année à {p} — archives",
    "comptes rendus des réunions de {p}",
    "documents reçus de l’agence de {p}",
    "copies de sécurité du poste de {p}",
]
FILE_WORDS = ["ça marche", "déjà vu", "où est-il", "très élevé", "naïve idée", "reçu à Noël", "forêt noire"]


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def big(root, rng):
    # Log-uniform sizes between 1 and 30 MB, scaled to 1.5 GB in total.
    raw = [math.exp(rng.uniform(0.0, math.log(30.0))) for _ in range(200)]
    scale = 1500.0 / sum(raw)
    sizes = [int(min(30.0, max(1.0, r * scale)) * MB) + rng.randrange(0, 2048) for r in raw]
    for d in range(8):
        os.mkdir(os.path.join(root, f"lot {d + 1}"))
    for i, size in enumerate(sizes):
        path = os.path.join(root, f"lot {i % 8 + 1}", f"donnees_{i:03d}.bin")
        with open(path, "wb") as f:
            left = size
            while left > 0:
                n = min(left, 4 * 1024 * 1024)
                f.write(rng.randbytes(n))
                left -= n


def folder_name(i, rng):
    place = PLACES[i % len(PLACES)]
    name = f"Dossier numéro {i:04d} — " + rng.choice(THEMES).format(p=place)
    target = rng.randrange(70, 101)  # UTF-16 units; every character used is in the BMP
    while len(name) < target:
        name += " " + rng.choice(FILE_WORDS)
    return name[:target].rstrip(" .")


def file_name(n, rng):
    name = f"Fichier très long numéro {n:05d} — " + rng.choice(FILE_WORDS)
    target = rng.randrange(46, 92)
    while len(name) < target:
        name += ", " + rng.choice(FILE_WORDS)
    return name[:target].rstrip(" ,.") + ".txt"


def small(root, rng):
    n = 0
    folders = []
    for top in range(100):
        path = os.path.join(root, folder_name(top * 50, rng))
        os.mkdir(path)
        folders.append(path)
        for sub in range(1, 50):
            child = os.path.join(path, folder_name(top * 50 + sub, rng))
            os.mkdir(child)
            folders.append(child)
    assert len(folders) == 5000
    for path in folders:
        for _ in range(20):
            write(os.path.join(path, file_name(n, rng)), rng.randbytes(rng.randrange(0, 8193)))
            n += 1
    assert n == 100000


def tiny(root, rng):
    n = 0
    folders = []
    for top in range(200):
        path = os.path.join(root, f"d{top:03d}")
        os.mkdir(path)
        folders.append(path)
        for sub in range(1, 100):
            child = os.path.join(path, f"s{sub:02d}")
            os.mkdir(child)
            folders.append(child)
    assert len(folders) == 20000
    for path in folders:
        for _ in range(15):
            write(os.path.join(path, f"n{n:06d}.txt"), rng.randbytes(rng.randrange(0, 201)))
            n += 1
    assert n == 300000


def entries(root, rng, count):
    folders = []
    for i in range(count // 16):
        if i % 100 == 0:
            path = os.path.join(root, f"d{i // 100:03d}")
        else:
            path = os.path.join(folders[i - i % 100], f"s{i % 100:02d}")
        os.mkdir(path)
        folders.append(path)
    n = 0
    for path in folders:
        for _ in range(15):
            write(os.path.join(path, f"n{n:06d}.txt"), rng.randbytes(rng.randrange(0, 201)))
            n += 1
    assert n + len(folders) == count


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "entries" and sys.argv[3].isdigit() and int(sys.argv[3]) % 16 == 0:
        count = int(sys.argv[3])
        fill = lambda root: entries(root, random.Random(4), count)
    elif len(sys.argv) == 3 and sys.argv[1] == "tiny600":
        fill = lambda root: entries(root, random.Random(4), 600000)
    elif len(sys.argv) == 3 and sys.argv[1] in ("big", "small", "tiny"):
        kind = sys.argv[1]
        seeds = {"big": 1, "small": 2, "tiny": 3}
        fill = lambda root: {"big": big, "small": small, "tiny": tiny}[kind](root, random.Random(seeds[kind]))
    else:
        sys.exit(__doc__)
    dest = sys.argv[2]
    if os.path.exists(dest):
        sys.exit(f"{dest} exists")
    work = dest + ".partial"
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    fill(work)
    os.rename(work, dest)


if __name__ == "__main__":
    main()
