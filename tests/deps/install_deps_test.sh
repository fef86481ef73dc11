#!/usr/bin/env bash
# scripts/install-deps.sh against stand-in apt-get, dpkg-query, npm and node: one
# `apt-get update` before the first install of every path, nothing when all is there,
# a clear stop (message, non-zero exit) when any install fails or when the Node the
# tests would run on is older than Node 20, and the npm installs of the test clients
# repeated only when their manifests change.
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
  cp "$src/scripts/install-deps.sh" "$src/scripts/node.sh" "$work/tree/scripts/"
  echo '{}' >"$work/tree/scripts/e2e-client/package.json"
  echo '{}' >"$work/tree/scripts/conformance/package.json"
  echo '{}' >"$work/tree/scripts/inspector/package.json"
  : >"$work/log"
  for tool in bash dirname grep cat sed tr cut head mkdir chmod cksum cp; do ln -s "$(command -v $tool)" "$work/bin/$tool"; done
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
    npm) cp "$STUB_BIN/npm.stub" "$STUB_BIN/npm" ;;
    libreoffice-calc-nogui) printf '#!/bin/bash\n' >"$STUB_BIN/soffice"; chmod +x "$STUB_BIN/soffice" ;;
    *) echo "$p" >>"$STUB_LOG.installed" ;;
  esac
done
S
  # npm as installed by apt-get: logs each run with its folder and the node it would
  # run on (npm starts with `#!/usr/bin/env node`); in scripts/conformance it brings
  # the npm package `node`, a node of version $STUB_NODE_VERSION.
  cat >"$work/bin/npm.stub" <<'S'
#!/bin/bash
echo "npm $* @${PWD##*/} node=$(command -v node)" >>"$STUB_LOG"
[ "${PWD##*/}" = "$STUB_NPM_FAIL_IN" ] && exit 1
[ "${STUB_NPM_RC:-0}" -ne 0 ] && exit "$STUB_NPM_RC"
if [ "${PWD##*/}" = conformance ]; then
  mkdir -p node_modules/.bin node_modules/@modelcontextprotocol/conformance
  printf '#!/bin/bash\necho v%s\n' "$STUB_NODE_VERSION" >node_modules/.bin/node
  chmod +x node_modules/.bin/node
fi
exit 0
S
  chmod +x "$work/bin/"*
}

run() {   # args... ; output in $work/out, exit code in $rc
  env -i PATH="$work/bin" HOME="$work" STUB_LOG="$work/log" STUB_BIN="$work/bin" \
    STUB_INSTALLED="${STUB_INSTALLED:-}" STUB_FAIL="${STUB_FAIL:-}" STUB_NPM_RC="${STUB_NPM_RC:-0}" \
    STUB_NPM_FAIL_IN="${STUB_NPM_FAIL_IN:-}" STUB_NODE_VERSION="${STUB_NODE_VERSION:-22.12.0}" \
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
expect "SDK client installed" "$(grep -qE '^npm install.*@e2e-client( |$)' "$work/log"; echo $?)"
expect "conformance suite installed" "$(grep -qE '^npm install.*@conformance( |$)' "$work/log"; echo $?)"
expect "MCP Inspector installed" "$(grep -qE '^npm install.*@inspector( |$)' "$work/log"; echo $?)"

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
STUB_INSTALLED="$all_build_pkgs" STUB_NPM_FAIL_IN=e2e-client run --test
expect "failed npm install of the client stops (rc=$rc)" "$([ "$rc" -ne 0 ]; echo $?)"
expect "failed npm install of the client says so" "$(grep -q 'npm install in scripts/e2e-client failed' "$work/out"; echo $?)"

# 5b. The SDK client installs but the conformance suite does not: stop, naming it.
setup
STUB_INSTALLED="$all_build_pkgs" STUB_NPM_FAIL_IN=conformance run --test
expect "failed conformance install stops (rc=$rc)" "$([ "$rc" -ne 0 ]; echo $?)"
expect "failed conformance install says so" "$(grep -q 'npm install in scripts/conformance failed' "$work/out"; echo $?)"

# 5e. The Inspector does not install: stop, naming it.
setup
STUB_INSTALLED="$all_build_pkgs" STUB_NPM_FAIL_IN=inspector run --test
expect "failed Inspector install stops (rc=$rc)" "$([ "$rc" -ne 0 ]; echo $?)"
expect "failed Inspector install says so" "$(grep -q 'npm install in scripts/inspector failed' "$work/out"; echo $?)"

# 5c. The Node the tests would run on is too old: stop before the SDK client is
# installed, naming the version found.
setup
STUB_INSTALLED="$all_build_pkgs" STUB_NODE_VERSION=18.19.0 run --test
expect "Node 18 stops the install (rc=$rc)" "$([ "$rc" -ne 0 ]; echo $?)"
expect "Node 18 is named with the version needed" \
  "$(grep -q 'install-deps: Node.js v18.19.0 found .*the tests need Node >= 20' "$work/out"; echo $?)"
expect "nothing installed after the Node check" "$(! grep -q '@e2e-client' "$work/log"; echo $?)"

# 5d. The SDK client is installed by npm running on the Node 22 beside the suite, and
# a second run installs nothing until a package is added to the client's manifest.
setup
STUB_INSTALLED="$all_build_pkgs" run --test
expect "the client's npm runs on the suite's Node" \
  "$(grep -q '^npm install.*@e2e-client node=.*/scripts/conformance/node_modules/.bin/node$' "$work/log"; echo $?)"
: >"$work/log"
STUB_INSTALLED="$all_build_pkgs" run --test
expect "second run: exit 0" "$rc"
expect "second run: no npm install" "$(! grep -q '^npm install' "$work/log"; echo $?)"
echo '{"dependencies":{"@modelcontextprotocol/client":"^2.0.0"}}' >"$work/tree/scripts/e2e-client/package.json"
STUB_INSTALLED="$all_build_pkgs" run --test
expect "a package added to the client's manifest is installed" \
  "$(grep -c '^npm install.*@e2e-client' "$work/log" | grep -qx 1; echo $?)"
expect "the suite is not installed again" "$(! grep -q '^npm install.*@conformance' "$work/log"; echo $?)"

# 6. apt-get update fails: stop before installing anything.
setup
STUB_UPDATE_RC=100 run
expect "failed update stops (rc=$rc)" "$([ "$rc" -ne 0 ]; echo $?)"
expect "failed update says so" "$(grep -q 'install-deps: apt-get update failed' "$work/out"; echo $?)"
expect "no install after a failed update" "$(! grep -q 'apt-get install' "$work/log"; echo $?)"

# 7. scripts/node.sh on its own: the suite's Node first, else PATH's when new enough.
setup
node_on_path() {   # version: a node of that version first on PATH ("" = none)
  rm -f "$work/bin/node"
  [ -z "$1" ] || { printf '#!/bin/bash\necho v%s\n' "$1" >"$work/bin/node"; chmod +x "$work/bin/node"; }
}
which_node() { env -i PATH="$work/bin" bash "$work/tree/scripts/node.sh" --which >"$work/out" 2>&1; rc=$?; }
node_on_path 20.11.1
which_node
expect "no suite: PATH's Node 20 is taken" "$([ $rc -eq 0 ] && grep -qx "$work/bin/node" "$work/out"; echo $?)"
node_on_path 18.19.0
which_node
expect "no suite: PATH's Node 18 is refused, named" \
  "$([ $rc -ne 0 ] && grep -q 'Node.js v18.19.0 found .*need Node >= 20' "$work/out"; echo $?)"
node_on_path ""
which_node
expect "no node at all says so" "$([ $rc -ne 0 ] && grep -q 'no Node.js found' "$work/out"; echo $?)"
mkdir -p "$work/tree/scripts/conformance/node_modules/.bin"
printf '#!/bin/bash\necho v22.12.0\n' >"$work/tree/scripts/conformance/node_modules/.bin/node"
chmod +x "$work/tree/scripts/conformance/node_modules/.bin/node"
node_on_path 18.19.0
which_node
expect "the suite's Node 22 wins over PATH's" "$([ $rc -eq 0 ] && grep -q 'scripts/conformance/node_modules/.bin/node$' "$work/out"; echo $?)"

[ $fails -eq 0 ] || { echo "--- last output:"; cat "$work/out"; cat "$work/log"; }
exit $fails
