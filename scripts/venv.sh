# Sourced from the repository's root by run_example.sh and run_tests.sh: the one place that
# knows how the package is built into .venv.
#
#   base_python      the interpreter .venv is made from: $PYTHON, or python3
#   say TEXT         a progress line on stderr
#   build_needs      the Debian packages missing to build the package, one a line
#   venv_install P   makes .venv (anew when unusable) with pip >= 23.1 and packages P
#   venv_build       builds the package into .venv, showing the build as it goes
# Afterwards $py is .venv's interpreter.

base_python=${PYTHON:-python3}
venv=$PWD/.venv
py=$venv/bin/python
# Written once every install into .venv has finished. Without it, .venv was left by a
# run that stopped half way: its pip or any package may be cut off in the middle.
venv_done=$venv/.installed

say() { echo "== $*" >&2; }

# A C++20 compiler (the probe uses what g++ 11 first had), venv with pip, and the
# headers of $base_python. Debian's own Python keeps the last two in packages of their own.
build_needs() {
  printf '%s\n' '#include <bit>' '#include <charconv>' '#include <span>' 'int main() {' \
    '  char b[32];' '  return std::to_chars(b, b + 32, 1.5).ptr == b || std::bit_width(1u) != 1;' '}' |
    "${CXX:-c++}" -std=c++20 -x c++ - -o /dev/null >/dev/null 2>&1 || echo g++
  if ! command -v "$base_python" >/dev/null 2>&1; then
    echo python3 python3-venv python3-dev
    return
  fi
  "$base_python" -c 'import ensurepip, venv' >/dev/null 2>&1 || echo python3-venv
  "$base_python" -c 'import os, sysconfig
raise SystemExit(not os.path.isfile(os.path.join(sysconfig.get_path("include"), "Python.h")))' ||
    echo python3-dev
}

# The interpreter's version and installation, to tell whether .venv was made from it.
python_identity() { "$1" -c 'import sys; print(sys.base_prefix, *sys.version_info[:3])' 2>/dev/null; }

venv_usable() {
  [ -f "$venv_done" ] && [ -x "$py" ] &&
    [ "$(python_identity "$py")" = "$(python_identity "$base_python")" ] &&
    "$py" -m pip --version >/dev/null 2>&1
}

# pip learnt -C (config settings for the build) in 23.1; Python 3.10's venv and Debian's
# Python bring 23.0.1, so pip is upgraded before anything else.
venv_install() {
  if [ -e "$venv" ] && ! venv_usable; then
    say "removing .venv: an earlier run left it unfinished, or made it from another Python"
    rm -rf "$venv"
  fi
  if [ ! -e "$venv" ]; then
    say "creating .venv with $("$base_python" --version 2>&1) ($(command -v "$base_python"))"
    "$base_python" -m venv "$venv"
  fi
  rm -f "$venv_done"
  say "installing into .venv: pip>=23.1 $*"
  "$py" -m pip install -q --disable-pip-version-check "pip>=23.1"
  "$py" -m pip install -q --disable-pip-version-check "$@"
  touch "$venv_done"
}

# The build folder stays, so a rerun after an interrupted build compiles only what is left.
venv_build() {
  say "building the package with CMake and Ninja into build/wheel (a minute or two the first time)"
  "$py" -m pip install -v --disable-pip-version-check --no-build-isolation \
    -Cbuild-dir=build/wheel . >&2
  say "installed $("$py" -c 'import pelmor_vector_db as p; print(p.__file__)')"
}
