#!/usr/bin/env bash
# Runs every test: the engine's GoogleTest suites in sanitizer builds, then the
# Python suites against the installed package. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
python=${PYTHON:-python3}
generator=""
command -v ninja >/dev/null && generator="-G Ninja"

need_apt=()
[ -d /usr/lib/x86_64-linux-gnu/cmake/GTest ] || [ -d /usr/lib/aarch64-linux-gnu/cmake/GTest ] || need_apt+=(libgtest-dev)
command -v g++ >/dev/null || need_apt+=(g++)
if [ ${#need_apt[@]} -gt 0 ]; then
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need_apt[@]}"
fi
$python -c "import pytest, hypothesis" 2>/dev/null || $python -m pip install -q pytest hypothesis

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_engine_suite() {  # $1 = sanitizer (address | thread), $2 = ctest filter
    local dir=build/engine-$1
    cmake -S . -B "$dir" $generator -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_SANITIZE="$1" \
        -DTOLVANE_BUILD_TESTS=ON -DTOLVANE_BUILD_PYTHON=OFF >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure ${2:+-R "$2"}
}

# The concurrency suites (tests/engine/*/test_*concurrent*.cpp) also run under
# ThreadSanitizer. ctest names tests after their GoogleTest cases, not their
# files, so only those executables are built and run directly.
run_concurrent_suites_tsan() {
    local dir=build/engine-thread targets=() src
    for src in tests/engine/*/test_*concurrent*.cpp; do targets+=("$(basename "$src" .cpp)"); done
    cmake -S . -B "$dir" $generator -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_SANITIZE=thread \
        -DTOLVANE_BUILD_TESTS=ON -DTOLVANE_BUILD_PYTHON=OFF >/dev/null
    cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
    for src in "${targets[@]}"; do
        echo "== $src (ThreadSanitizer)"
        "$dir/tests/engine/$src" --gtest_brief=1
    done
}

run_engine_suite address
if ls tests/engine/*/test_*concurrent*.cpp >/dev/null 2>&1; then
    run_concurrent_suites_tsan
fi

$python -m pip install -q .
$python -m pytest -q tests/python

# The Python suite again on every other CPython 3.9+ that pyenv provides (one
# per minor version; none is needed). Each gets the extension built once with
# CMake and a private venv with the test tools, so the shared interpreters
# stay untouched; the package is imported from a staging folder.
run_python_suite_on_other_versions() {
    command -v pyenv >/dev/null || return 0
    local root seen interpreter version dir
    root=$(pyenv root)
    seen=" $($python -c 'import sys; print("%d.%d" % sys.version_info[:2])') "
    for interpreter in $(printf '%s\n' "$root"/versions/3.*/bin/python3 | sort -V); do
        [ -x "$interpreter" ] || continue
        version=$("$interpreter" -c 'import sys; print("%d.%d" % sys.version_info[:2])') || continue
        "$interpreter" -c 'import sys; sys.exit(sys.version_info < (3, 9))' || continue
        case "$seen" in *" $version "*) continue ;; esac
        seen+="$version "
        dir=build/python-$version
        cmake -S . -B "$dir" $generator -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BUILD_PYTHON=ON \
            -DTOLVANE_BUILD_TESTS=OFF -DPython_EXECUTABLE="$interpreter" >/dev/null
        cmake --build "$dir" -j "$jobs" --target _tolvane >"$dir/build.log" 2>&1 ||
            { cat "$dir/build.log"; return 1; }
        rm -rf "$dir/package" && mkdir -p "$dir/package"
        cp -r python/tolvane_trie "$dir/package/" && cp "$dir"/python/_tolvane*.so "$dir/package/tolvane_trie/"
        [ -x "$dir/venv/bin/python" ] || "$interpreter" -m venv "$dir/venv"
        "$dir/venv/bin/python" -c "import pytest, hypothesis" 2>/dev/null ||
            "$dir/venv/bin/python" -m pip install -q pytest hypothesis
        echo "== Python $version"
        PYTHONPATH="$dir/package" "$dir/venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
    done
}
run_python_suite_on_other_versions

# Smoke runs of both benchmarks at tiny sizes so they keep building and
# running; nothing is timed or compared. Quiet unless they fail, so the test
# runner's summary stays the last line. Peers other than sortedcontainers are
# optional: the Python benchmark skips what is missing.
bench_smoke() {
    local log=build/bench-smoke.log
    $python -c "import sortedcontainers" 2>/dev/null || $python -m pip install -q sortedcontainers >/dev/null 2>&1 || true
    $python bench/python/bench_containers.py --size 2000 --rounds 1 --probes 300 --budget 0.05 \
        --shapes random,dense,clustered --no-write >"$log" 2>&1 || { cat "$log"; return 1; }
    $python bench/python/bench_rank.py --sizes 2000 --rounds 1 --probes 100 >"$log" 2>&1 ||
        { cat "$log"; return 1; }
    $python bench/python/bench_bulk.py --sizes 2000 --rounds 1 >"$log" 2>&1 || { cat "$log"; return 1; }
    $python bench/python/bench_byte_maps.py --size 2000 --rounds 1 --no-write >"$log" 2>&1 ||
        { cat "$log"; return 1; }
    $python bench/python/bench_blob.py --size 2000 --rounds 1 --no-write >"$log" 2>&1 ||
        { cat "$log"; return 1; }
    $python bench/python/bench_str_maps.py --size 2000 --rounds 1 --probes 300 --no-write \
        >"$log" 2>&1 || { cat "$log"; return 1; }
    $python bench/python/bench_sync.py --size 2000 --rounds 1 --batch 500 --no-write >"$log" 2>&1 ||
        { cat "$log"; return 1; }

    local bench_apt=()
    ls /usr/lib/*/cmake/benchmark >/dev/null 2>&1 || bench_apt+=(libbenchmark-dev)
    ls /usr/lib/*/cmake/absl >/dev/null 2>&1 || bench_apt+=(libabsl-dev)
    if [ ${#bench_apt[@]} -gt 0 ]; then
        local sudo_cmd=""
        [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
        $sudo_cmd apt-get update -qq >"$log" 2>&1 && DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install \
            -y -qq "${bench_apt[@]}" >>"$log" 2>&1 || { cat "$log"; return 1; }
    fi
    local dir=build/bench-smoke
    { cmake -S . -B "$dir" $generator -DCMAKE_BUILD_TYPE=Release -DTOLVANE_BUILD_BENCH=ON \
          -DTOLVANE_BUILD_PYTHON=OFF -DTOLVANE_BUILD_TESTS=OFF &&
      cmake --build "$dir" -j "$jobs" --target tolvane_bench tolvane_str_bench tolvane_sync_bench \
          tolvane_sync_writers_bench tolvane_olc_writes_bench &&
      $python bench/engine/run_rounds.py --rounds 2 --out "$dir/rounds" -- \
          "$dir/bench/engine/tolvane_bench" --sizes=1000 --benchmark_min_time=0.001 &&
      $python bench/engine/report.py "$dir"/rounds/round-*.json >/dev/null &&
      "$dir/bench/engine/tolvane_str_bench" --size=1000 --benchmark_min_time=0.001 &&
      "$dir/bench/engine/tolvane_sync_bench" --size=1000 --benchmark_min_time=0.001 &&
      "$dir/bench/engine/tolvane_sync_writers_bench" --sizes=1000 --benchmark_min_time=0.001 &&
      "$dir/bench/engine/tolvane_olc_writes_bench" --sizes=2000; } >"$log" 2>&1 ||
        { cat "$log"; return 1; }
}
bench_smoke
