#!/usr/bin/env bash
# Reliability checks, run by CI after `bash scripts/dev.sh setup`:
#   bash scripts/reliability.sh [all|asan|pyasan|fuzz|leaks]   (default: all)
#
#   asan    the core, the C++ tests and the fuzz seeds, built with ASan + UBSan (GCC, preset
#           "asan" in build/asan), and the whole C++ test suite run under them
#   pyasan  the Python module built with ASan + UBSan (build/asan-module) and the whole Python
#           test suite run against it
#   fuzz    the libFuzzer harnesses (clang, preset "fuzz" in build/fuzz): the committed seeds and
#           regression inputs replayed, then each harness fuzzed for LORVANE_FUZZ_SECONDS
#           (default 60; set it higher to fuzz longer by hand). A finding fails the run and is
#           left in fuzz/out/ with the command that reproduces it.
#   leaks   tests/leak_check.py under valgrind memcheck (a definite leak or a memory error with a
#           frame in lorvane_api fails, and so does nanobind's report of module objects alive
#           at exit), and resident memory over 20 trainings in one process
#
# Environment: LORVANE_FUZZ_SECONDS (per harness), LORVANE_FUZZ_JOBS (harnesses run at once,
# default 2), LORVANE_MODULE_DIR (a directory holding the lorvane_api module to check for leaks
# instead of a release build of it with nanobind's leak report, made in build/leak-module).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"
export PATH="$VENV/bin:$PATH"
FUZZ_SECONDS=${LORVANE_FUZZ_SECONDS:-60}
FUZZ_JOBS=${LORVANE_FUZZ_JOBS:-2}
# Packages these checks need beyond scripts/dev.sh's: the compiler with libFuzzer and the
# sanitizer runtimes, the symbolizer for readable reports, and valgrind.
RELIABILITY_PACKAGES="clang libclang-rt-14-dev llvm valgrind"
# Harness name and the largest input libFuzzer may make for it.
HARNESSES="encode:1024 decode:1024 corpus:4096 train:1024"

log() { printf '[reliability] %s\n' "$*" >&2; }

source "$ROOT/scripts/apt_packages.sh"

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

run_asan() {
  log "ASan + UBSan build of the core, the C++ tests and the fuzz seed replay (build/asan)"
  cmake --preset asan >/dev/null
  cmake --build --preset asan
  log "C++ tests under ASan + UBSan"
  ctest --preset asan -j2
}

run_pyasan() {
  local dir="$ROOT/build/asan-module"
  log "ASan + UBSan build of the Python module (build/asan-module)"
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=g++ -DLORVANE_SANITIZE=ON -DLORVANE_BUILD_MODULE=ON \
    -DLORVANE_BUILD_TESTS=OFF -DPython_EXECUTABLE="$PY" >/dev/null
  # Only the module: the stub generator would import it without the sanitizer runtime.
  cmake --build "$dir" --target lorvane_api
  log "the Python test suite against the sanitized module"
  rm -f "$dir"/sanitizer.*
  # The runtime must be loaded first, and libstdc++ with it so that ASan finds __cxa_throw.
  # Every allocation goes through malloc so that ASan sees the interpreter's buffers too;
  # CPython frees little at exit, so leaks are left to the valgrind step. Reports go to files,
  # since the tests capture the process's standard error.
  local status=0
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    ASAN_OPTIONS="abort_on_error=1:detect_leaks=0:strict_string_checks=1:log_path=$dir/sanitizer" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$dir/sanitizer" \
    PYTHONMALLOC=malloc PYTHONPATH="$dir" \
    "$PY" -m pytest -q -p no:cacheprovider tests || status=$?
  if compgen -G "$dir/sanitizer.*" >/dev/null; then
    log "sanitizer reports:"
    cat "$dir"/sanitizer.* >&2
    status=1
  fi
  return "$status"
}

fuzz_one() {
  local name=$1 max_len=$2
  local dir="$ROOT/fuzz/out/$name" binary="$ROOT/build/fuzz/fuzz/fuzz_$name"
  local logfile="$ROOT/fuzz/out/$name.log"
  mkdir -p "$dir"
  local status=0
  # Slow inputs (long texts) are picked less often, or they take most of the time.
  "$binary" -max_total_time="$FUZZ_SECONDS" -max_len="$max_len" -timeout=60 -rss_limit_mb=4096 \
    -entropic_scale_per_exec_time=1 -print_final_stats=1 -artifact_prefix="$ROOT/fuzz/out/$name-" \
    "$dir" "$ROOT/fuzz/seeds/$name" >"$logfile" 2>&1 || status=$?
  local runs artifact
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logfile" | tail -1)
  if [ "$status" -eq 0 ]; then
    log "fuzz_$name: ${runs:-?} runs in ${FUZZ_SECONDS} s, no finding"
    return 0
  fi
  artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$logfile" | tail -1)
  # A time-out on a machine that stalled does not come back when the input runs alone.
  if grep -q 'libFuzzer: timeout' "$logfile" && [ -n "$artifact" ] &&
     "$binary" -timeout=60 "$artifact" >"$logfile.replay" 2>&1; then
    log "fuzz_$name: a time-out after ${runs:-?} runs did not come back on replay; not a finding"
    return 0
  fi
  log "fuzz_$name FAILED after ${runs:-?} runs; end of its log:"
  tail -n 40 "$logfile" >&2
  if [ -n "$artifact" ]; then
    log "reproduce: $binary $artifact"
    log "keep it as a regression input: cp $artifact fuzz/regressions/$name/ (replayed by ctest)"
  fi
  return 1
}

run_fuzz() {
  log "libFuzzer build (clang, build/fuzz)"
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  log "replaying the seeds and regression inputs"
  ctest --test-dir "$ROOT/build/fuzz" --output-on-failure -j2
  log "fuzzing each harness for ${FUZZ_SECONDS} s, ${FUZZ_JOBS} at a time"
  local pids=() status=0 entry i
  for entry in $HARNESSES; do
    fuzz_one "${entry%%:*}" "${entry##*:}" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$FUZZ_JOBS" ]; then
      wait "${pids[0]}" || status=1
      pids=("${pids[@]:1}")
    fi
  done
  for i in "${pids[@]}"; do wait "$i" || status=1; done
  return $status
}

run_leaks() {
  local module_dir=${LORVANE_MODULE_DIR:-}
  if [ -z "$module_dir" ]; then
    # A release build that keeps nanobind's report of objects alive at exit (release builds drop
    # it): an instance that outlives the run is a reference the module never gave back.
    module_dir="$ROOT/build/leak-module"
    log "release build of the Python module with nanobind's leak report (build/leak-module)"
    cmake -S "$ROOT" -B "$module_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DLORVANE_LEAK_WARNINGS=ON -DLORVANE_BUILD_MODULE=ON -DLORVANE_BUILD_TESTS=OFF \
      -DPython_EXECUTABLE="$PY" >/dev/null
    cmake --build "$module_dir" --target lorvane_api
  fi
  local env=(PYTHONMALLOC=malloc PYTHONPATH="$module_dir")
  local logs="$ROOT/build/leaks"
  mkdir -p "$logs"
  log "leak check: every path once and five times under valgrind memcheck"
  local rounds
  for rounds in 1 5; do
    env "${env[@]}" valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
      --errors-for-leak-kinds=definite --num-callers=40 --log-file="$logs/memcheck-$rounds.log" \
      "$PY" "$ROOT/tests/leak_check.py" exercise --rounds "$rounds" 2>"$logs/stderr-$rounds.log"
    cat "$logs/stderr-$rounds.log" >&2
    if grep -q "nanobind: leaked" "$logs/stderr-$rounds.log"; then
      log "objects of the module outlived the run ($rounds rounds): see above"
      return 1
    fi
  done
  "$PY" "$ROOT/tests/leak_check.py" valgrind-report "$logs/memcheck-1.log" "$logs/memcheck-5.log"
  log "resident memory over repeated training"
  env "${env[@]}" "$PY" "$ROOT/tests/leak_check.py" rss --trainings 20
}

main() {
  local what=${1:-all} steps status=0 name rc
  case "$what" in
    all) steps="asan pyasan fuzz leaks" ;;
    asan | pyasan | fuzz | leaks) steps=$what ;;
    *) echo "usage: bash scripts/reliability.sh [all|asan|pyasan|fuzz|leaks]" >&2; exit 2 ;;
  esac
  install_packages $RELIABILITY_PACKAGES
  [ -x "$PY" ] || { log "no .venv: run 'bash scripts/dev.sh setup' first"; exit 1; }
  for name in $steps; do
    # Each step in a subshell of its own with `set -e` in force, so that a failing command ends
    # that step only; the others still run.
    set +e
    (set -e; "run_$name")
    rc=$?
    set -e
    if [ "$rc" -ne 0 ]; then
      log "step '$name' FAILED"
      status=1
    fi
  done
  if [ "$status" -eq 0 ]; then log "all reliability checks passed"; else log "reliability checks FAILED"; fi
  return "$status"
}

main "$@"
