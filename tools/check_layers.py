#!/usr/bin/env python3
"""Fails when a source file reaches above its layer, includes a system header that belongs to
one backend, or when the layering below claims more than the CMake libraries link.
Usage: check_layers.py REPOSITORY_ROOT

Layers, lowest first: base; the platform seams; state; maze; game; ranking and persist; the
plain-data frame (render) and the application shell (app) on top. Backends live in folders of
their own (render/gl, render/d3d11, render/web, ui/imgui, ui/win32, ui/web, platform/sdl,
platform/web, ...) and are the only
places that may include their system's headers."""
import pathlib
import re
import sys

# System headers by family: the backend or machine they tie code to.
FAMILIES = {
    "sdl": r"SDL",
    "gl": r"(GL/|GLES|EGL/|epoxy/)",
    "d3d": r"(d3d|d2d|dwrite|dxgi|wincodec)",
    "win32": r"(windows|windowsx|commctrl|shellapi|wininet|winsock|ws2|intrin|objbase|shlobj|winerror|xinput)",
    "curl": r"curl/",
    "socket": r"(sys/socket|netinet/|arpa/|netdb|boost/asio|boost/beast)",
    "posix": r"(unistd|fcntl|pthread|sys/|dirent|dlfcn|poll\.h|signal\.h|time\.h)",
    "imgui": r"(imgui|backends/)",
    "font": r"(ft2build|freetype|fontconfig/)",
    "png": r"png\.h",
    "database": r"(sqlite3|libpq-fe)",
    "text": r"(unicode/|zlib)",
    "boost": r"boost/",
    "emscripten": r"(emscripten|GLES3/)",
    "benchmark": r"benchmark/",
}
CORE = {"base", "platform", "state", "maze", "game", "ranking", "persist"}
SRC = CORE | {"render", "app"}
PLAYERS = CORE | {"server/bridge", "server/budgets", "server/players"}
RULES = PLAYERS | {"server/view", "server/storage", "server/rules"}
SERVER = RULES | {"server/http", "server"}

# What each area may include: folders of src/ (a quoted include's directory, exactly) and
# system header families. The longest matching area of a file applies.
AREAS = {
    "src/base": ({"base"}, set()),
    "src/platform": ({"platform", "base"}, set()),
    "src/platform/posix": ({"platform", "base"}, {"posix"}),
    # The SDL context switches the few OpenGL states that WebGL does otherwise.
    "src/platform/sdl": ({"platform", "state", "base"}, {"sdl", "gl"}),
    "src/platform/curl": ({"platform", "base"}, {"curl"}),
    "src/platform/win32": ({"platform", "state", "base"}, {"win32"}),
    "src/platform/web": ({"platform", "state", "base"}, {"emscripten", "gl", "posix"}),
    "src/state": ({"state", "platform", "base"}, set()),
    "src/maze": ({"maze", "state", "base"}, set()),
    "src/game": ({"game", "maze", "state", "base"}, set()),
    "src/ranking": ({"ranking", "maze", "state", "platform", "base"}, set()),
    "src/persist": ({"persist", "state", "platform", "base"}, set()),
    "src/render": ({"render", "game", "maze", "state", "base"}, set()),
    "src/render/gl": ({"render/gl", "render", "game", "maze", "state", "platform", "base"}, {"gl", "font", "png"}),
    "src/render/d3d11": ({"render/d3d11", "render", "game", "maze", "state", "platform", "base"}, {"d3d", "win32"}),
    "src/render/web": ({"render/web", "render/gl", "render", "game", "maze", "state", "platform", "base"}, {"emscripten"}),
    "src/app": ({"app", "render", "persist", "ranking", "game", "maze", "state", "platform", "base"}, set()),
    "src/ui/imgui": ({"ui/imgui", "platform", "base"}, {"imgui", "sdl", "gl", "font"}),
    "src/ui/win32": ({"ui/win32", "platform", "base"}, {"win32"}),
    "src/ui/web": ({"ui/web", "platform", "base"}, {"emscripten"}),
    # Entry points: everything of their platform.
    "src/app/sdl": (SRC | {"render/gl", "ui/imgui", "platform/sdl", "platform/curl"}, {"sdl"}),
    "src/app/win32": (SRC | {"render/d3d11", "ui/win32", "platform/win32"}, {"win32", "d3d"}),
    # The server's rooms, each reaching only the rooms below it (server/CMakeLists.txt draws
    # them): the core's formats through the bridge, never a game backend; only the HTTP room
    # touches sockets, only storage the databases.
    "server/bridge": (CORE | {"server/bridge"}, set()),
    "server/budgets": ({"server/budgets"}, set()),
    "server/players": (PLAYERS, {"text", "boost", "posix"}),
    "server/view": (PLAYERS | {"server/view"}, {"text"}),
    "server/storage": (PLAYERS | {"server/storage"}, {"database", "posix"}),
    "server/rules": (RULES, {"text", "posix"}),
    "server/http": (RULES | {"server/http"}, {"boost", "socket", "text", "posix"}),
    "server": (SERVER, {"boost", "socket", "database", "posix"}),
    "src/app/web": (SRC | {"render/gl", "render/web", "ui/web", "platform/web"}, {"emscripten"}),
    "tools": (CORE | {"render/gl"}, set()),
    "fuzz": (SERVER, set()),
    # Benchmarks drive the backends and the server as programs do.
    "bench": (SRC | {"render/gl", "platform/sdl", "bench"}, {"sdl", "gl", "benchmark", "posix"}),
    "bench/server": (SERVER, {"boost", "socket", "database", "benchmark", "posix"}),
}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')


def family_of(header):
    for name, pattern in FAMILIES.items():
        if re.match(pattern, header):
            return name
    return None


def area_of(rel):
    best = None
    for area in AREAS:
        if rel == area or rel.startswith(area + "/"):
            if best is None or len(area) > len(best):
                best = area
    return best


def folder_of_include(root, path, target):
    """The folder a quoted include names: under src/ (the include root of every library), or
    under server/ (the server's own, named "server/..."); None when it is the file's own folder."""
    if (path.parent / target).exists():
        return None
    if (root / "src" / target).exists() or not (root / "server" / target).exists():
        return pathlib.PurePosixPath(target).parent.as_posix()
    return pathlib.PurePosixPath("server", target).parent.as_posix()


def allows(folders, folder):
    return folder in folders


def check_includes(root):
    problems = []
    for top in ("src", "server", "tools", "bench", "fuzz"):
        for path in sorted((root / top).rglob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            rel = path.relative_to(root).as_posix()
            here = pathlib.PurePosixPath(rel).parent.as_posix()
            area = area_of(here)
            if area is None:
                problems.append(f"{rel}: its folder has no place in the layering")
                continue
            folders, families = AREAS[area]
            own = {here.removeprefix("src/")}
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                kind, target = m.groups()
                if kind == '"':
                    folder = folder_of_include(root, path, target)
                    if folder is not None and folder not in own and not allows(folders, folder):
                        problems.append(f"{rel}:{number}: {area} may not include \"{target}\"")
                else:
                    family = family_of(target)
                    if family is not None and family not in families:
                        problems.append(f"{rel}:{number}: {area} may not include <{target}> ({family})")
    return problems


LIBRARY = re.compile(r"add_library\(\s*(\w+)\s+(STATIC|SHARED|OBJECT|INTERFACE)?([^)]*)\)", re.S)
LINKS = re.compile(r"target_link_libraries\(\s*(\w+)\s+(?:PUBLIC|PRIVATE|INTERFACE)\s+([^)]*)\)", re.S)


def read_libraries(src):
    """Each library of src/: the folders and files of its sources, and the libraries it links."""
    sources, links = {}, {}
    for cmake in src.rglob("CMakeLists.txt"):
        here = cmake.parent.relative_to(src).as_posix()
        text = re.sub(r"#.*", "", cmake.read_text(encoding="utf-8"))
        for name, kind, listed in LIBRARY.findall(text):
            files = [pathlib.PurePosixPath(here, f) for f in listed.split() if f.endswith(".cpp") and "$" not in f]
            sources.setdefault(name, set()).update(files or {pathlib.PurePosixPath(here, "*")})
        for name, libs in LINKS.findall(text):
            links.setdefault(name, set()).update(lib for lib in libs.split() if lib.startswith("orlith_"))
    return sources, links


def check_links(root):
    """Neither the table nor a library's own files may reach a folder the library does not link."""
    src = root / "src"
    sources, links = read_libraries(src)
    folders = {lib: {f.parent.as_posix() for f in files} for lib, files in sources.items()}

    def linked(library):
        reach, todo = set(), [library]
        while todo:
            lib = todo.pop()
            if lib not in reach:
                reach.add(lib)
                todo.extend(links.get(lib, ()))
        return set().union(*(folders.get(lib, set()) for lib in reach))

    problems = []
    by_folder = {}
    for library in sources:
        reach = linked(library)
        for folder in folders[library]:
            by_folder.setdefault(folder, set()).update(reach)
        # The library's own files, and the header beside each.
        for file in sources[library]:
            if file.name == "*":
                continue
            for path in (src / file, (src / file).with_suffix(".h")):
                if not path.exists():
                    continue
                for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                    m = INCLUDE.match(line)
                    if m and m.group(1) == '"':
                        folder = folder_of_include(root, path, m.group(2))
                        if folder is not None and folder not in reach:
                            problems.append(f"src/{path.relative_to(src).as_posix()}:{number}: includes "
                                            f"{m.group(2)}, but {library} does not link its library")
    for folder, reach in sorted(by_folder.items()):
        area = AREAS.get("src/" + folder)
        if area is None or folder.startswith("app/"):
            continue  # entry points link what their platform needs
        for allowed in sorted(area[0] - reach - {folder}):
            problems.append(f"src/{folder}: the table lets it include {allowed}/, which it does not link")
    return problems


def main(root):
    problems = check_includes(root) + check_links(root)
    for p in problems:
        print(p)
    if problems:
        print(f"{len(problems)} problem(s) with the layering", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")))
