# Sourced by .ci/run and tools/build_wheels.sh.
#
# find_interpreter VERSION prints the first interpreter that really is
# python<VERSION>: on PATH, else under pyenv, whose shims answer for versions
# that are installed but not selected.
find_interpreter() {
  local version="$1" candidate
  for candidate in "$(command -v "python$version" || true)" \
    "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version"; do
    [ -x "$candidate" ] || continue
    if "$candidate" -c "import sys; sys.exit('%d.%d' % sys.version_info[:2] != '$version')" 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}
