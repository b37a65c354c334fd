#!/usr/bin/env bash
# Times the HEX loader against srec_cat on the same generated files, in one run,
# and prints the median times and their ratios.
# Usage: bench/run-hexload.sh [Google Benchmark flags...]   (BUILD_DIR selects the build folder)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build-bench}"

bash "$root/tools/install-deps.sh" srecord libbenchmark-dev
(cd "$root" && cmake --preset bench -B "$build" >/dev/null)
cmake --build "$build" --target bench_hexload
"$build/bench/bench_hexload" "$@"
