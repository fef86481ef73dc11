#!/usr/bin/env bash
# scripts/install-deps.sh against stand-in apt-get, dpkg-query and npm: one
# `apt-get update` before the first install of every path, nothing when all is there,
# and a clear stop (message, non-zero exit) when any install fails.
#   tests/deps/install_deps_test.sh SOURCE_DIR
set -uo pipefail
src="$(cd "${1:?source dir}" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fails=0
expect() {   # description, condition result (0 = holds)
  if [ "$2" -eq 0 ]; then echo "ok: $1"; else echo "FAIL: $1"; fails=1; fi
}

# A copy of the script in a tree of its own (it works relative to its folder).
setup() {
  rm -rf "$work/tree" "$work/bin" "$work/log" "$work/log.installed"
  mkdir -p "$work/tree/scripts/e2e-client" "$work/tree/scripts/conformance" "$work/tree/scripts/inspector" "$work/bin"
  cp "$src/scripts/install-deps.sh" "$work/tree/scripts/"
  echo '{}' >"$work/tree/scripts/e2e-client/package.json"
  echo '{}' >"$work/tree/scripts/conformance/package.json"
  echo '{}' >"$work/tree/scripts/inspector/package.json"
  : >"$work/log"
  for tool in bash dirname grep cat sed tr cut head mkdir chmod; do ln -s "$(command -v $tool)" "$work/bin/$tool"; done
  cat >"$work/bin/id" <<'S'
#!/bin/bash
echo 0
S
  # Installed when named in $STUB_INSTALLED (space separated) or installed by the stub apt-get.
  cat >"$work/bin/dpkg-query" <<'S'
#!/bin/bash
p="${@: -1}"
if [[ " $STUB_INSTALLED " == *" $p "* ]] || grep -qx "$p" "$STUB_LOG.installed" 2>/dev/null; then
  echo -n "install ok installed"
else
  exit 1
fi
S
  cat >"$work/bin/apt-get" <<'S'
#!/bin/bash
echo "apt-get $*" >>"$STUB_LOG"
[ "$1" = update ] && exit "${STUB_UPDATE_RC:-0}"
for p in "$@"; do
  [[ " $STUB_FAIL " == *" $p "* ]] && { echo "E: Unable to locate package $p" >&2; exit 100; }
done
for p in "$@"; do
  case "$p" in
    -*|install) ;;
    npm) printf '#!/bin/bash\necho "npm $* @${PWD##*/}" >>"$STUB_LOG"\n[ "${PWD##*/}" = "$STUB_NPM_FAIL_IN" ] && exit 1\nexit ${STUB_NPM_RC:-0}\n' >"$STUB_BIN/npm"; chmod +x "$STUB_BIN/npm" ;;
    libreoffice-calc-nogui) printf '#!/bin/bash\n' >"$STUB_BIN/soffice"; chmod +x "$STUB_BIN/soffice" ;;
    *) echo "$p" >>"$STUB_LOG.installed" ;;
  esac
done
S
  chmod +x "$work/bin/"*
}

run() {   # args... ; output in $work/out, exit code in $rc
  env -i PATH="$work/bin" HOME="$work" STUB_LOG="$work/log" STUB_BIN="$work/bin" \
    STUB_INSTALLED="${STUB_INSTALLED:-}" STUB_FAIL="${STUB_FAIL:-}" STUB_NPM_RC="${STUB_NPM_RC:-0}" \
    STUB_NPM_FAIL_IN="${STUB_NPM_FAIL_IN:-}" \
    STUB_UPDATE_RC="${STUB_UPDATE_RC:-0}" bash "$work/tree/scripts/install-deps.sh" "$@" >"$work/out" 2>&1
  rc=$?
}

all_build_pkgs=$(bash "$src/scripts/install-deps.sh" --list | grep -vx -e npm -e libreoffice-calc-nogui | tr '\n' ' ')

# 1. Build packages and Node.js present, npm and LibreOffice missing: update once, before the first install.
setup
STUB_INSTALLED="$all_build_pkgs" run --test
expect "--test with the base present exits 0" "$rc"
first=$(head -1 "$work/log")
expect "first apt-get call is update (got: $first)" "$([ "$first" = "apt-get update -qq" ]; echo $?)"
expect "exactly one update" "$([ "$(grep -c '^apt-get update' "$work/log")" = 1 ]; echo $?)"
expect "LibreOffice installed" "$(grep -q 'install .*libreoffice-calc-nogui' "$work/log"; echo $?)"
expect "npm installed and run" "$(grep -q '^npm install' "$work/log"; echo $?)"
expect "SDK client installed" "$(grep -q '^npm install.*@e2e-client$' "$work/log"; echo $?)"
expect "conformance suite installed" "$(grep -q '^npm install.*@conformance$' "$work/log"; echo $?)"
expect "MCP Inspector installed" "$(grep -q '^npm install.*@inspector$' "$work/log"; echo $?)"

# 2. A bare machine: one update for all three installs.
setup
run --test
expect "bare machine --test exits 0" "$rc"
expect "bare machine: Chromium installed for the browser test" "$(grep -q 'install .*chromium' "$work/log"; echo $?)"
expect "bare machine: the chart library package installed" "$(grep -q 'install .*libjs-d3' "$work/log"; echo $?)"
expect "bare machine: exactly one update, first" \
  "$([ "$(grep -c '^apt-get update' "$work/log")" = 1 ] && head -1 "$work/log" | grep -q update; echo $?)"

# 3. Everything present: no apt-get at all.
setup
STUB_INSTALLED="$all_build_pkgs" run
expect "nothing missing: exit 0" "$rc"
expect "nothing missing: no apt-get call" "$([ ! -s "$work/log" ]; echo $?)"

# 4. npm cannot be installed: stop with a message, not a silent success.
setup
STUB_INSTALLED="$all_build_pkgs" STUB_FAIL="npm" run --test
expect "failed npm install stops (rc=$rc)" "$([ "$rc" -ne 0 ]; echo $?)"
expect "failed npm install names it" "$(grep -q 'install-deps: could not install npm' "$work/out"; echo $?)"
expect "nothing after the failed install" "$(! grep -q '^npm install' "$work/log"; echo $?)"

# 5. `npm install` of the SDK client fails: stop with a message.
setup
STUB_INSTALLED="$all_build_pkgs" STUB_NPM_RC=1 run --test
expect "failed npm install of the client stops (rc=$rc)" "$([ "$rc" -ne 0 ]; echo $?)"
expect "failed npm install of the client says so" "$(grep -q 'npm install in scripts/e2e-client failed' "$work/out"; echo $?)"

# 5b. The SDK client installs but the conformance suite does not: stop, naming it.
setup
STUB_INSTALLED="$all_build_pkgs" STUB_NPM_FAIL_IN=conformance run --test
expect "failed conformance install stops (rc=$rc)" "$([ "$rc" -ne 0 ]; echo $?)"
expect "failed conformance install says so" "$(grep -q 'npm install in scripts/conformance failed' "$work/out"; echo $?)"

# 5c. The Inspector does not install: stop, naming it.
setup
STUB_INSTALLED="$all_build_pkgs" STUB_NPM_FAIL_IN=inspector run --test
expect "failed Inspector install stops (rc=$rc)" "$([ "$rc" -ne 0 ]; echo $?)"
expect "failed Inspector install says so" "$(grep -q 'npm install in scripts/inspector failed' "$work/out"; echo $?)"

# 6. apt-get update fails: stop before installing anything.
setup
STUB_UPDATE_RC=100 run
expect "failed update stops (rc=$rc)" "$([ "$rc" -ne 0 ]; echo $?)"
expect "failed update says so" "$(grep -q 'install-deps: apt-get update failed' "$work/out"; echo $?)"
expect "no install after a failed update" "$(! grep -q 'apt-get install' "$work/log"; echo $?)"

[ $fails -eq 0 ] || { echo "--- last output:"; cat "$work/out"; cat "$work/log"; }
exit $fails
