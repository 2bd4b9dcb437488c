#!/usr/bin/env python3
"""Holds every #include "folder/..." of the repository's C++ files to scripts/layers.txt; prints each one
against it and exits 1 if there is any."""
import pathlib
import re
import subprocess
import sys

root = pathlib.Path(__file__).resolve().parent.parent
rules = {}
for number, line in enumerate((root / "scripts/layers.txt").read_text().splitlines(), 1):
    line = line.split("#", 1)[0].strip()
    if not line:
        continue
    folder, _, allowed = line.partition(":")
    rules[folder.strip()] = allowed.split()

files = subprocess.run(["git", "ls-files", "*.cpp", "*.h"], cwd=root, capture_output=True, text=True,
                       check=True).stdout.split()
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def owner(path):
    matches = [folder for folder in rules if path == folder or path.startswith(folder + "/")]
    return max(matches, key=len) if matches else None


bad = []
for path in files:
    folder = owner(path)
    if folder is None:
        bad.append(f"{path}: its folder is not in scripts/layers.txt")
        continue
    allowed = rules[folder]
    if "*" in allowed:
        continue
    text = (root / path).read_text(encoding="utf-8", errors="replace")
    for header in include.findall(text):
        if "/" not in header:
            continue  # beside the including file
        target = owner(header)
        if target == folder or target in allowed:
            continue
        bad.append(f"{path}: includes {header}, but {folder}/ may include only "
                   f"{' '.join(allowed) or 'its own headers'}")

for line in bad:
    print(line)
sys.exit(1 if bad else 0)
