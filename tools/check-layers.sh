#!/usr/bin/env bash
# Checks that every #include "folder/file.h" under src/ follows the layer
# graph below: a folder may include its own headers and those of the folders
# it stands on, directly or through others, never one above or beside it.
# Reads the source tree only; needs no build.
#   tools/check-layers.sh [SOURCE_ROOT]
# Exits 1 and names each offending line when an include breaks the graph, or
# when a folder under src/ has no place in it. Also checks that the features
# are given owners, not the core: in the feature folders only wiring.h and wiring.cpp,
# which picks each feature's owners out of the core, names `ServerCore` or
# reaches through a request to its core.
set -euo pipefail
root="${1:-$(cd "$(dirname "$0")/.." && pwd)}"

python3 - "$root" <<'EOF'
import pathlib
import re
import sys

# folder: the folders it stands on directly (bottom up). The libraries in
# src/*/CMakeLists.txt link along the same edges.
GRAPH = {
    "base": [],
    "storage": ["base"],
    "server": ["storage"],
    "presence": ["server"],
    "offline": ["server"],
    "accounts": ["presence", "offline"],
    "admin": ["accounts"],
    "directory_sync": ["accounts"],
    "console": ["admin"],
    "web": ["admin"],
    "app": ["console", "web", "admin", "directory_sync"],
}


def below(folder, seen=None):
    seen = set() if seen is None else seen
    for dep in GRAPH[folder]:
        if dep not in seen:
            seen.add(dep)
            below(dep, seen)
    return seen


root = pathlib.Path(sys.argv[1])
src = root / "src"
include = re.compile(r'^\s*#\s*include\s*"([^"/]+)/[^"]+"')
allowed = {f: below(f) | {f} for f in GRAPH}
errors = []

for folder in sorted(p.name for p in src.iterdir() if p.is_dir()):
    if folder not in GRAPH:
        errors.append(f"src/{folder}: folder not in the layer graph of tools/check-layers.sh")
        continue
    for path in sorted((src / folder).rglob("*")):
        if path.suffix not in (".h", ".hpp", ".cpp", ".cc"):
            continue
        lines = path.read_text(encoding="utf-8", errors="replace").splitlines()
        for number, line in enumerate(lines, 1):
            m = include.match(line)
            if not m:
                continue
            target = m.group(1)
            if target not in GRAPH:
                continue  # not one of ours (a system or third-party path)
            if target not in allowed[folder]:
                rel = path.relative_to(root)
                errors.append(f"{rel}:{number}: {folder} may not include {line.split(chr(34))[1]} "
                              f"({folder} stands on: {', '.join(sorted(allowed[folder] - {folder})) or 'nothing'})")

# The features take the owners they use; only their wiring names the core.
FEATURES = ["presence", "offline", "accounts", "directory_sync"]
core_use = re.compile(r'\bServerCore\b|server/server_core\.h|\bcore\s*\.|->\s*core\b')
for folder in FEATURES:
    for path in sorted((src / folder).rglob("*")):
        if path.suffix not in (".h", ".cpp") or path.name in ("wiring.h", "wiring.cpp"):
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
            code = line.split("//", 1)[0]
            if core_use.search(code):
                rel = path.relative_to(root)
                errors.append(f"{rel}:{number}: {folder} names the core outside its wiring: {line.strip()}")

for e in errors:
    print(e)
if errors:
    print(f"check-layers: {len(errors)} line(s) against the layer graph")
    sys.exit(1)
print("check-layers: every include follows the layer graph")
EOF
