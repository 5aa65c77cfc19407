#!/usr/bin/env bash
# Builds what coverage-guided fuzzing needs, into BUILD_DIR (default
# build-fuzz): the module compiled by clang with AddressSanitizer,
# UndefinedBehaviorSanitizer and libFuzzer's coverage counters, and one
# shared runtime holding both the sanitizer and libFuzzer, to be preloaded.
# Needs clang (Debian: apt-get install clang) and atheris (pip install atheris).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build-fuzz}"
cxx="${CXX_FUZZ:-$(command -v clang++ || command -v clang++-14)}"
resource_dir="$("$cxx" -print-resource-dir)"
runtime_dir="$resource_dir/lib/linux"

cmake -S . -B "$build_dir" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFIELDLOOM_SANITIZE=ON -DPython_EXECUTABLE="$(command -v python3)" \
  "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -include $PWD/fuzz/clang_compat.h" \
  -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build_dir" --target fieldloom fieldloom_batch_native -j 2

# The sanitizer archive is meant for executables: drop its .preinit_array
# object so it can live in a shared library, and let libFuzzer's strong
# coverage callbacks replace the sanitizer's weak stand-ins.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
(cd "$work" && ar x "$runtime_dir/libclang_rt.asan-x86_64.a" && rm -f asan_preinit.cpp.o \
  && ar rcs asan.a ./*.o)
"$cxx" -shared -o "$build_dir/asan_with_fuzzer.so" \
  -Wl,--whole-archive "$work/asan.a" "$runtime_dir/libclang_rt.asan_cxx-x86_64.a" \
  "$runtime_dir/libclang_rt.fuzzer_no_main-x86_64.a" -Wl,--no-whole-archive \
  -lpthread -ldl -lrt -lm -lstdc++
echo "built $build_dir/fieldloom*.so and $build_dir/asan_with_fuzzer.so"
