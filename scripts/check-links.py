#!/usr/bin/env python3
"""No folder includes a header it does not link: for each folder of scripts/layers.txt whose CMakeLists.txt
defines targets, every other folder whose headers its files include must own a library those targets link,
directly or through a dependency's PUBLIC or INTERFACE links. Prints each miss and exits 1 if there is any."""
import pathlib
import re
import subprocess
import sys
from collections import defaultdict

root = pathlib.Path(__file__).resolve().parent.parent
folders = [line.split("#", 1)[0].partition(":")[0].strip()
           for line in (root / "scripts/layers.txt").read_text().splitlines()]
folders = [folder for folder in folders if folder]


def git_files(*patterns):
    return subprocess.run(["git", "ls-files", *patterns], cwd=root, capture_output=True, text=True,
                          check=True).stdout.split()


# The targets each CMakeLists.txt defines, and every target's links by visibility.
defined = defaultdict(list)  # folder -> its targets; libraries first
libraries = defaultdict(set)  # folder -> the targets others can link
links = defaultdict(list)  # target -> [(visibility, target)]
command = re.compile(r"\b(add_library|add_executable|target_link_libraries)\s*\(([^)]*)\)")
for path in git_files("CMakeLists.txt", "*/CMakeLists.txt"):
    text = re.sub(r"#[^\n]*", "", (root / path).read_text())
    folder = str(pathlib.PurePath(path).parent)
    for name, args in command.findall(text):
        target, *rest = args.split()
        if "$" in target:
            continue  # a function's own parameter, not a target
        if name == "target_link_libraries":
            visibility = "PUBLIC"
            for item in rest:
                if item in ("PUBLIC", "PRIVATE", "INTERFACE"):
                    visibility = item
                else:
                    links[target].append((visibility, item))
            continue
        defined[folder].append(target)
        if name == "add_library":
            libraries[folder].add(target)


def reach(targets):
    """What `targets` link directly, and what those pass on through their PUBLIC and INTERFACE links."""
    seen = {dep for target in targets for _, dep in links[target]}
    todo = list(seen)
    while todo:
        for visibility, dep in links[todo.pop()]:
            if visibility != "PRIVATE" and dep not in seen:
                seen.add(dep)
                todo.append(dep)
    return seen


def owner(path):
    matches = [folder for folder in folders if path == folder or path.startswith(folder + "/")]
    return max(matches, key=len) if matches else None


include = re.compile(r'^\s*#\s*include\s+"([^"]+/[^"]+)"', re.M)
linked = {folder: reach(defined[folder]) for folder in folders if defined[folder]}
bad = set()
for path in git_files("*.cpp", "*.h"):
    folder = owner(path)
    if folder not in linked:
        continue
    for header in include.findall((root / path).read_text(encoding="utf-8", errors="replace")):
        other = owner(header)
        if other and other != folder and libraries[other] and not libraries[other] & linked[folder]:
            bad.add(f"{path}: includes {header}, but {folder}/ links none of "
                    f"{' '.join(sorted(libraries[other]))}")

for line in sorted(bad):
    print(line)
sys.exit(1 if bad else 0)
