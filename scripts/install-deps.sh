#!/usr/bin/env bash
# Installs the Debian packages the build (and, with --test, the tests) need; does
# nothing when all are present. Runs `apt-get update` once, before the first install
# it needs, and stops with a message naming what failed.
#   scripts/install-deps.sh           compiler, CMake and the libraries (unit-test ones too)
#   scripts/install-deps.sh --test    that, plus Node.js/npm, LibreOffice, Chromium and a
#                                     Korean font (the browser test of the chart view and its
#                                     screenshots), the MCP conformance suite with the Node 22
#                                     every Node-based test runs on, the MCP SDK clients of
#                                     the end-to-end tests with the MCP Apps host bridge and
#                                     playwright-core, and the MCP Inspector (all from npm);
#                                     stops when that Node is not at least Node 20
#   scripts/install-deps.sh --list    print the Debian package names (one per line)
set -euo pipefail
cd "$(dirname "$0")/.."

# Every find_package/pkg_check_modules/find_library/find_program/find_file of
# CMakeLists.txt is served by one of these (checked by tests/deps/check_cmake_packages.sh);
# libjs-d3 is the chart library the binary's chart view embeds.
BUILD_PKGS=(
  build-essential cmake pkg-config ccache ca-certificates tzdata
  nlohmann-json3-dev libcurl4-openssl-dev libxml2-dev
  libhowardhinnant-date-dev libre2-dev libxlsxwriter-dev libzip-dev
  libpugixml-dev libpoppler-cpp-dev
  libjs-d3
  libgtest-dev libgmock-dev libcpp-httplib-dev libbenchmark-dev
)
TEST_PKGS=(nodejs chromium fonts-nanum)

die() {
  echo "install-deps: $*" >&2
  exit 1
}

mode="${1:-}"
case "$mode" in
  ""|--test) ;;
  --list) printf '%s\n' "${BUILD_PKGS[@]}" "${TEST_PKGS[@]}" npm libreoffice-calc-nogui; exit 0 ;;
  *) die "unknown option '$mode' (use --test or --list)" ;;
esac

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || die "packages are missing and this is not root; run as root (or install sudo)"
  SUDO=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive

updated=0
# apt_install WHAT PKG... : one `apt-get update` per run, then the install; any
# failure stops the script.
apt_install() {
  local what="$1"
  shift
  if [ "$updated" -eq 0 ]; then
    echo "install-deps: apt-get update" >&2
    "${SUDO[@]}" apt-get update -qq >&2 ||
      die "apt-get update failed; check the network and /etc/apt/sources.list, then run again"
    updated=1
  fi
  echo "install-deps: installing $what: $*" >&2
  "${SUDO[@]}" apt-get install -y -qq --no-install-recommends "$@" >&2 ||
    die "could not install $what ($*); see the apt-get output above"
}

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

pkgs=("${BUILD_PKGS[@]}")
[ "$mode" = "--test" ] && pkgs+=("${TEST_PKGS[@]}")
mapfile -t missing < <(missing_of "${pkgs[@]}")
[ ${#missing[@]} -eq 0 ] || apt_install "build packages" "${missing[@]}"

[ "$mode" = "--test" ] || exit 0

# npm: Debian ships it apart from nodejs; other Node.js builds bring their own.
if ! command -v npm >/dev/null 2>&1; then
  apt_install "npm" npm
  command -v npm >/dev/null 2>&1 || die "npm is still not on PATH after installing it"
fi
# An independent reader of the workbooks the workbook tests write.
if ! command -v soffice >/dev/null 2>&1; then
  apt_install "LibreOffice Calc" libreoffice-calc-nogui
fi
# npm_install DIR WHAT: `npm install` in scripts/DIR unless node_modules was made from
# the same package.json and package-lock.json (a stamp beside it records them), so
# a package added to either is installed on the next run.
npm_install() {
  local dir="scripts/$1" what="$2"
  local stamp="$dir/node_modules/.tessaro-installed"
  manifest() { { cat "$dir/package.json"; cat "$dir/package-lock.json" 2>/dev/null || true; } | cksum; }
  [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$(manifest)" ] && return 0
  echo "install-deps: npm install ($dir)" >&2
  (cd "$dir" && npm install --no-audit --no-fund --loglevel=error >&2) ||
    die "npm install in $dir failed (the tests need $what); check access to the npm registry, then run again"
  mkdir -p "$dir/node_modules"
  manifest >"$stamp"   # after the install: npm may have rewritten the lock file
}
# The official MCP conformance suite, and the Node 22 every Node-based test runs on:
# Debian's Node is older than the tests need, so the npm package `node` brings that
# binary from the npm registry, beside the suite (scripts/node.sh picks it).
npm_install conformance "@modelcontextprotocol/conformance and Node 22"
node_msg=$(bash scripts/node.sh --which 2>&1) || die "${node_msg#node.sh: }"
# The MCP SDK client of the end-to-end tests, installed by npm running on that Node.
PATH="$(dirname "$node_msg"):$PATH" npm_install e2e-client "the MCP SDK client of the end-to-end tests"
# The MCP Inspector, whose --app-info probe reads the tools' MCP Apps view.
PATH="$(dirname "$node_msg"):$PATH" npm_install inspector "@modelcontextprotocol/inspector"
