#!/usr/bin/env bash
# Static checks of the product code and its tools (app/ cli/ station/ production/ serial/
# image/ protocol/ util/ tools/, and the simulator program sim/zorbelmeter-sim.cpp):
# clang-tidy with the checks in .clang-tidy (not on the *_win.cpp files, which the
# Windows check compiles), then cppcheck. Any finding of either fails the run (exit 1);
# the findings are listed, then counted by check.
#
# Usage: tools/lint.sh [BUILD_DIR]   (default build-lint; LINT_JOBS=2 parallel runs)
#
# clang-tidy reads the compiler flags from BUILD_DIR/compile_commands.json. The
# folder is configured when missing, and the form's generated ui_qwfwloader.h is
# made there (the autogen target also builds the libraries the window links).
set -euo pipefail

cd "$(dirname "$0")/.."
build_dir=${1:-build-lint}
jobs=${LINT_JOBS:-2}
clang_tidy=${CLANG_TIDY:-clang-tidy}
cppcheck=${CPPCHECK:-cppcheck}
source_dirs=(app cli station production serial image protocol util tools)
# The simulated instrument's program is a tool too; its library is test support.
extra_sources=(sim/zorbelmeter-sim.cpp)
autogen_targets=(zorbel_app_autogen)

start=$(date +%s)

if [ ! -f "$build_dir/build.ninja" ]; then
    cmake --preset lint -B "$build_dir"
fi
cmake --build "$build_dir" -j "$jobs" --target "${autogen_targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A *_win.cpp file is no translation unit of this build: it has no compile command, and
# the Windows headers it may include are not here. tools/windows-check.py compiles each
# with the build's warnings and -Werror; cppcheck below reads them too.
mapfile -t sources < <(find "${source_dirs[@]}" -name '*.cpp' ! -name '*_win.cpp' | sort)
sources+=("${extra_sources[@]}")

# --- clang-tidy: one process per file, LINT_JOBS at a time; outputs kept apart and
# shown in file order.
echo "clang-tidy ($("$clang_tidy" --version | sed -n 's/.*LLVM version //p')): ${#sources[@]} files"
tidy_status=0
printf '%s\n' "${sources[@]}" \
    | xargs -P "$jobs" -I{} sh -c \
        'out="$1/tidy-$(printf %s "$2" | tr / _).txt"; "$3" -p "$4" --quiet "$2" >"$out" 2>&1 || echo "$2" >>"$1/tidy-failed"' \
        sh "$work" {} "$clang_tidy" "$build_dir"
for f in "${sources[@]}"; do
    # Keep the diagnostics, drop the "N warnings generated" chatter.
    grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^Use -system-headers' \
        "$work/tidy-$(printf %s "$f" | tr / _).txt" || true
done
if [ -s "$work/tidy-failed" ]; then
    tidy_status=1
fi

# --- cppcheck: the same folders. Qt and system headers are not given to it (the Qt
# library file describes Qt's macros and types), so the notice that they cannot be
# found (missingIncludeSystem) is expected and switched off.
echo "cppcheck ($("$cppcheck" --version)): ${source_dirs[*]}"
includes=()
for d in "${source_dirs[@]}"; do includes+=(-I "$d"); done
# The simulator's header, and the generated form header.
includes+=(-I sim -I "$build_dir/app/zorbel_app_autogen/include")
cppcheck_status=0
"$cppcheck" --std=c++17 --language=c++ --library=qt \
    --enable=warning,style,performance,portability,information \
    --suppress=missingIncludeSystem \
    --inline-suppr --error-exitcode=1 --quiet \
    --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
    "${includes[@]}" "${source_dirs[@]}" "${extra_sources[@]}" 2>"$work/cppcheck.txt" || cppcheck_status=1
cat "$work/cppcheck.txt"

# --- summary
# Each finding once (a header's finding comes from every file that includes it).
cat "$work"/tidy-*.txt "$work/cppcheck.txt" 2>/dev/null \
    | grep -E '^[^ ]+:[0-9]+:[0-9]+: (warning|error|style|performance|portability|information): ' \
    | sort -u \
    | sed -E 's/.*\[([^],]+)(,-warnings-as-errors)?\]$/\1/' \
    | sort | uniq -c | sort -rn >"$work/counts.txt" || true
if [ -s "$work/counts.txt" ]; then
    echo "findings by check:"
    cat "$work/counts.txt"
else
    echo "findings: none"
fi
echo "lint took $(( $(date +%s) - start )) s"
if [ "$tidy_status" -ne 0 ] || [ "$cppcheck_status" -ne 0 ]; then
    echo "lint: FAILED (clang-tidy $([ "$tidy_status" -eq 0 ] && echo clean || echo findings)," \
         "cppcheck $([ "$cppcheck_status" -eq 0 ] && echo clean || echo findings))"
    exit 1
fi
echo "lint: clean"
