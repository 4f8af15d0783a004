#!/usr/bin/env bash
# Sets up, builds and runs every test: the whole suite on the normal build,
# then the unit and short-cycle tests under AddressSanitizer with
# UndefinedBehaviorSanitizer, and the threaded tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
raiz=$(pwd)
bash scripts/setup.sh

echo "== testes =="
(cd build && ctest --output-on-failure -j2 --timeout 300)

# OpenCV, FFmpeg and Qt are not instrumented: the suppression files name only
# what happens inside them.
supressoes=$raiz/tests/sanitizers

# The library's own callers (C, Python, the load test) run on the normal build:
# its helper process does not start from an instrumented library, so under
# ASan only its in-process path is checked.
echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address,undefined >/dev/null
cmake --build build-asan
(cd build-asan &&
  ASAN_OPTIONS=fast_unwind_on_malloc=0:detect_leaks=1 \
  LSAN_OPTIONS=suppressions=$supressoes/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j2 --timeout 300 -LE "longo|python" -E "^tavorin_(chamador|carga|python)$")

echo "== ThreadSanitizer =="
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread >/dev/null
cmake --build build-tsan
(cd build-tsan &&
  TSAN_OPTIONS="suppressions=$supressoes/tsan.supp halt_on_error=1 exitcode=66" \
  ctest --output-on-failure -j2 --timeout 300 -R "Gravacao|FalhaNumaCamera|JanelaDePrevia|Geometria|MontarCaminho")
