#!/usr/bin/env bash
# `cmake --install` (what `./tessaro.sh install` runs) puts the server and its calendar
# data below a prefix, and the installed server answers when started the way a host
# running as another user starts it: another user, its own home, from outside the
# tree, with the tree's data folder out of its reach.
#   tests/deps/install_layout_test.sh BUILD_DIR
# Exit 77 (skipped) when not root or when setpriv / the user nobody are missing.
set -uo pipefail
build="$(cd "${1:?build dir}" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0
expect() {   # description, condition result (0 = holds)
  if [ "$2" -eq 0 ]; then echo "ok: $1"; else echo "FAIL: $1"; fails=1; fi
}

cmake --install "$build" --prefix "$work/prefix" >"$work/install.out" 2>&1
expect "cmake --install succeeds" "$?"
expect "the server is installed" "$([ -x "$work/prefix/bin/tessaro-mcp" ]; echo $?)"
expect "its calendar data beside it" "$([ -s "$work/prefix/share/tessaro/market_calendars.json" ]; echo $?)"
[ $fails -eq 0 ] || { cat "$work/install.out"; exit 1; }

if [ "$(id -u)" -ne 0 ] || ! command -v setpriv >/dev/null 2>&1 || ! id nobody >/dev/null 2>&1; then
  echo "SKIP: starting it as another user needs root, setpriv and the user nobody"
  exit 77
fi
chmod 755 "$work"
mkdir -m 700 "$work/private" "$work/home"   # like a tree under /root: not readable by nobody
chown nobody "$work/home"
(cd / && setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups \
  env -i PATH=/usr/bin:/bin HOME="$work/home" TZ=Asia/Seoul TESSARO_DATA_DIR="$work/private" \
  TESSARO_TEST_LOOPBACK_ONLY=1 "$work/prefix/bin/tessaro-mcp" call get_market_clock) >"$work/out" 2>&1
rc=$?
expect "the installed server answers as nobody (rc=$rc)" "$rc"
expect "with the market clock" "$(grep -q '^## 한국장 (KRX, KST)$' "$work/out"; echo $?)"
[ $fails -eq 0 ] || cat "$work/out"

# It reads the data installed with it, not the tree's: a broken copy there is noticed.
echo '{' >"$work/prefix/share/tessaro/market_calendars.json"
(cd / && env -i PATH=/usr/bin:/bin HOME="$work/home" TZ=Asia/Seoul TESSARO_TEST_LOOPBACK_ONLY=1 \
  "$work/prefix/bin/tessaro-mcp" call get_market_clock) >"$work/out2" 2>&1
expect "the installed copy of the data is the one read" "$(! grep -q '^## 한국장 (KRX, KST)$' "$work/out2"; echo $?)"
exit $fails
