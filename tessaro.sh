#!/usr/bin/env bash
# One entry point that needs nothing but bash on a Debian 12 machine (as root):
#   ./tessaro.sh run     install what is missing, build, start the MCP server on stdio
#   ./tessaro.sh test    install what is missing, build, run every test
#   ./tessaro.sh build   install and build only
#   ./tessaro.sh bench   build and run the benchmarks
#   ./tessaro.sh install [PREFIX]   install what is missing, build the server alone and
#                        install it below PREFIX (default /usr/local): PREFIX/bin/tessaro-mcp
#                        and its data in PREFIX/share/tessaro
# BUILD (build directory, default "build") and JOBS (default: number of cores) may be set.
set -euo pipefail
cd "$(dirname "$0")"
BUILD="${BUILD:-build}"
JOBS="${JOBS:-$(nproc 2>/dev/null || echo 2)}"

configure() {
  cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Lean -DTESSARO_PCH=ON "$@"
}

cmd="${1:-}"
case "$cmd" in
  run)
    # stdout belongs to the MCP host once the server runs: everything before goes to stderr.
    { bash scripts/install-deps.sh && configure >/dev/null && cmake --build "$BUILD" -j "$JOBS" --target tessaro-mcp; } >&2
    shift
    exec "$BUILD/tessaro-mcp" "$@"
    ;;
  build)
    bash scripts/install-deps.sh
    configure
    cmake --build "$BUILD" -j "$JOBS"
    ;;
  test)
    bash scripts/install-deps.sh --test
    configure
    cmake --build "$BUILD" -j "$JOBS"
    cd "$BUILD" && ctest --output-on-failure -j "$JOBS"
    ;;
  install)
    prefix="${2:-/usr/local}"
    bash scripts/install-deps.sh
    configure
    cmake --build "$BUILD" -j "$JOBS" --target tessaro-mcp
    cmake --install "$BUILD" --prefix "$prefix"
    echo "tessaro: installed $prefix/bin/tessaro-mcp" >&2
    ;;
  bench)
    bash scripts/install-deps.sh
    cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTESSARO_BENCH=ON -DTESSARO_TESTS=OFF
    cmake --build build-bench -j "$JOBS"
    for b in build-bench/bench_*; do echo "== $b"; "$b"; done
    ;;
  *)
    echo "usage: ./tessaro.sh run|test|build|bench|install [PREFIX]" >&2
    exit 2
    ;;
esac
