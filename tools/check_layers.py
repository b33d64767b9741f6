#!/usr/bin/env python3
"""Fails when a source file reaches above its layer, or when the portable core includes a
system header of one platform. Usage: check_layers.py REPOSITORY_ROOT

The layers, lowest first: platform seams, base, state, maze, game, ranking, persist; then the
application shell, rendering and the user interface on top; platform implementations (sdl/,
curl/, posix/, win32/) and entry points may use what they need."""
import pathlib
import re
import sys

CORE = ["platform", "base", "state", "maze", "game", "ranking", "persist", "app"]
# What each folder of src/ may include (first path component of a quoted include).
ALLOWED = {
    "platform": {"platform"},
    "base": {"base", "platform"},
    "state": {"state", "base"},
    "maze": {"maze", "state", "base"},
    "game": {"game", "maze", "state", "base", "platform"},
    "ranking": {"ranking", "game", "maze", "state", "base", "platform"},
    "persist": {"persist", "ranking", "game", "maze", "state", "base", "platform"},
    "app": {"app", "persist", "ranking", "game", "maze", "state", "base", "platform"},
    "render": {"render", "game", "maze", "state", "base", "platform"},
    "ui": {"ui", "app", "persist", "ranking", "game", "maze", "state", "base", "platform"},
}
# Platform implementations and entry points sit outside the layering.
FREE = ["platform/sdl", "platform/curl", "platform/posix", "platform/win32", "app/sdl", "app/win32"]
# Headers that tie code to one operating system or library; the core never includes them.
SYSTEM = re.compile(r"^(unistd|fcntl|pthread|windows|winsock2|wininet|SDL|SDL2/|GL/|epoxy/|curl/|imgui|backends/|sys/|dirent|dlfcn|d3d|d2d|dwrite)")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')


def main(root: pathlib.Path) -> int:
    src = root / "src"
    problems = []
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        rel = path.relative_to(src).as_posix()
        if any(rel.startswith(free + "/") for free in FREE):
            continue
        layer = rel.split("/")[0]
        allowed = ALLOWED.get(layer)
        if allowed is None:
            problems.append(f"src/{rel}: folder '{layer}' has no place in the layering")
            continue
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            kind, target = m.groups()
            if kind == '"':
                top = target.split("/")[0]
                if "/" not in target or top not in allowed or any(target.startswith(f + "/") for f in FREE):
                    problems.append(f"src/{rel}:{number}: {layer} may not include \"{target}\"")
            elif layer in CORE and SYSTEM.match(target):
                problems.append(f"src/{rel}:{number}: the portable core may not include <{target}>")
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} include(s) break the layering", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")))
