#!/usr/bin/env python3
"""The Windows compile check: every translation unit of the three programs (app/ cli/ station/
production/ serial/ image/ protocol/ util/, and the files moc, uic and rcc make for them) compiled
by the MinGW-w64 cross compiler in syntax-only mode, with the flags of the Linux build.

Usage: tools/windows-check.py [BUILD_DIR]   (default build-lint; LINT_JOBS=2 parallel runs)

The flags come from BUILD_DIR/compile_commands.json (the folder is configured from the
"lint" preset when missing, and the generated sources are made there first). Each
command keeps its defines, include folders and warning options; the compiler becomes
MINGW_CXX (x86_64-w64-mingw32-g++-posix), -fsyntax-only and -Werror are added, and the
Linux mkspec folder is left out. The Qt headers are Debian's (there is no Windows Qt
here); Qt picks the platform from the compiler's own macros, so Q_OS_WIN is set.

Which files a Windows build has follows the platform files' names: *_posix.cpp and
*_linux.cpp are left out, *_win.cpp are compiled with the flags of their Unix twin (of
their folder's library otherwise). A product source in none of the build's commands,
and not a *_win.cpp file, fails the check: nothing is skipped without a word.
Any diagnostic fails the run (exit 1).
"""
import json
import os
import re
import shlex
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

PRODUCT_DIRS = ("app", "cli", "station", "production", "serial", "image", "protocol", "util")
UNIX_ONLY = re.compile(r"_(posix|linux)\.cpp$")
WINDOWS_ONLY = re.compile(r"_win\.cpp$")
# The Linux mkspec folder holds qplatformdefs.h for Linux; a Windows build has its own.
LINUX_MKSPEC = re.compile(r"/mkspecs/linux-")


def run(cmd, **kwargs):
    return subprocess.run(cmd, check=True, **kwargs)


def windows_command(command, source, compiler):
    """The Linux compile command of one file, turned into a syntax-only MinGW one."""
    args = shlex.split(command)[1:]
    out = [compiler, "-fsyntax-only", "-Werror"]
    skip_next = False
    for i, arg in enumerate(args):
        if skip_next:
            skip_next = False
            continue
        if arg in ("-o", "-c"):  # the object file; the source, given again below
            skip_next = True
            continue
        if arg == "-fPIC":  # all Windows code is position independent
            continue
        if arg == "-isystem" and i + 1 < len(args) and LINUX_MKSPEC.search(args[i + 1]):
            skip_next = True
            continue
        out.append(arg)
    out.append(source)
    return out


def main():
    root = Path(__file__).resolve().parent.parent
    os.chdir(root)
    build_dir = Path(sys.argv[1] if len(sys.argv) > 1 else "build-lint").resolve()
    jobs = int(os.environ.get("LINT_JOBS", "2"))
    compiler = os.environ.get("MINGW_CXX", "x86_64-w64-mingw32-g++-posix")
    start = time.monotonic()

    if not (build_dir / "build.ninja").exists():
        run(["cmake", "--preset", "lint", "-B", str(build_dir)])
    database = json.loads((build_dir / "compile_commands.json").read_text())

    product_roots = [str(root / d) + os.sep for d in PRODUCT_DIRS]
    generated_roots = [str(build_dir / d) + os.sep for d in PRODUCT_DIRS]
    commands = {}  # source -> its Linux compile command (the first, for a file in two targets)
    for entry in database:
        source = os.path.abspath(os.path.join(entry["directory"], entry["file"]))
        if any(source.startswith(r) for r in product_roots + generated_roots):
            commands.setdefault(source, entry.get("command") or shlex.join(entry["arguments"]))

    # moc, uic and rcc output: made before it is compiled.
    generated = sorted(os.path.relpath(s, build_dir) for s in commands if s.startswith(str(build_dir) + os.sep))
    run(["cmake", "--build", str(build_dir), "-j", str(jobs), "--target", *generated], stdout=subprocess.DEVNULL)

    sources = sorted(str(p) for d in PRODUCT_DIRS for p in (root / d).rglob("*.cpp"))
    units = []  # (shown name, command)
    missing = []
    for source in sources:
        if UNIX_ONLY.search(source):
            continue
        if source in commands:
            units.append((os.path.relpath(source, root), windows_command(commands[source], source, compiler)))
            continue
        if not WINDOWS_ONLY.search(source):
            missing.append(os.path.relpath(source, root))
            continue
        twins = [WINDOWS_ONLY.sub(f"_{kind}.cpp", source) for kind in ("posix", "linux")]
        folder = os.path.dirname(source) + os.sep
        model = next((t for t in twins if t in commands), None) or next(
            (s for s in sorted(commands) if s.startswith(folder) and os.sep not in s[len(folder):]), None)
        if model is None:
            missing.append(os.path.relpath(source, root))
            continue
        units.append((os.path.relpath(source, root), windows_command(commands[model], source, compiler)))
    units += [(os.path.relpath(s, build_dir) + " (generated)", windows_command(commands[s], s, compiler))
              for s in sorted(commands) if s.startswith(str(build_dir) + os.sep)]

    version = subprocess.run([compiler, "-dumpfullversion"], capture_output=True, text=True).stdout.strip()
    print(f"windows check ({compiler} {version}, syntax only): {len(units)} translation units")

    def compile_one(unit):
        name, cmd = unit
        result = subprocess.run(cmd, capture_output=True, text=True)
        return name, result.returncode, result.stdout + result.stderr

    failed = []
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        for name, status, output in pool.map(compile_one, units):
            if status != 0 or output.strip():
                failed.append(name)
                sys.stdout.write(output)
    for name in missing:
        print(f"{name}: in no compile command of {build_dir.name}, and not a *_win.cpp file")

    print(f"windows check took {round(time.monotonic() - start)} s")
    if failed or missing:
        print(f"windows check: FAILED ({len(failed)} translation units with findings, "
              f"{len(missing)} sources not checked)")
        return 1
    print("windows check: clean")
    return 0


if __name__ == "__main__":
    sys.exit(main())
