#!/usr/bin/env bash
# Every find_package / pkg_check_modules / find_library / find_program / find_file of CMakeLists.txt
# must be served by a Debian package that scripts/install-deps.sh installs (or by a
# direct dependency of one), so that a fresh machine can configure the build.
#   tests/deps/check_cmake_packages.sh SOURCE_DIR [BUILD_DIR]
# Exit 77 (skipped) when dpkg is not there.
set -uo pipefail
src="${1:?source dir}"
cache="${2:-}/CMakeCache.txt"
command -v dpkg-query >/dev/null 2>&1 || { echo "SKIP: no dpkg on this machine"; exit 77; }

mapfile -t listed < <(bash "$src/scripts/install-deps.sh" --list)
[ ${#listed[@]} -gt 0 ] || { echo "FAIL: scripts/install-deps.sh --list printed no package"; exit 1; }
declare -A ok=()
for p in "${listed[@]}"; do ok[$p]=1; done
# Direct dependencies of a listed package come with it (pkg-config -> pkgconf).
while IFS= read -r deps; do
  for d in $(tr ',|' '\n\n' <<<"$deps" | sed 's/(.*)//; s/:any//' | tr -d ' '); do ok[$d]=1; done
done < <(dpkg-query -W -f='${Depends}, ${Pre-Depends}\n' "${listed[@]}" 2>/dev/null)

cache_value() {   # NAME -> value of a cache entry, "" when absent or NOTFOUND
  [ -f "$cache" ] || return 0
  local v
  v=$(grep -m1 "^$1:" "$cache" | cut -d= -f2-)
  [[ "$v" == *NOTFOUND* ]] && v=""
  echo "$v"
}

fail=0
whats=()
files=()
check() {   # what file: resolved together at the end (one dpkg query for all)
  if [ -z "$2" ]; then
    echo "FAIL: $1: no file found for it; install its package and add it to scripts/install-deps.sh"
    fail=1
    return
  fi
  whats+=("$1")
  files+=("$2")
}

# One call per line: "kind arg1 arg2 ..."
calls=$(sed 's/#.*//' "$src/CMakeLists.txt" | tr '\n' ' ' |
  grep -oE '(find_package|pkg_check_modules|find_library|find_program|find_file)\([^)]*\)' |
  sed -E 's/\(/ /; s/\)$//')
while read -r kind a1 rest; do
  [ -n "$kind" ] || continue
  case "$kind" in
    find_package)
      if [ "$a1" = Threads ]; then check "find_package(Threads)" /usr/include/pthread.h; continue; fi
      file=""
      dir=$(cache_value "${a1}_DIR")
      [ -n "$dir" ] && file=$(ls "$dir"/*[Cc]onfig.cmake 2>/dev/null | head -1)
      if [ -z "$file" ]; then   # module mode: the library or program it found
        # cache names compared without case and underscores (PkgConfig -> PKG_CONFIG_EXECUTABLE)
        norm=$(tr -d '_' <<<"${a1^^}")
        for v in $( [ -f "$cache" ] && awk -F: -v n="$norm" '/^[A-Za-z]/ { k = toupper($1); gsub("_", "", k);
            if (k == n "LIBRARYRELEASE" || k == n "LIBRARY" || k == n "EXECUTABLE") print $1 }' "$cache"); do
          file=$(cache_value "$v"); [ -n "$file" ] && break
        done
      fi
      if [ -z "$file" ]; then   # not configured here (an option is off): look where config files live
        file=$(ls /usr/lib/*/cmake/"$a1"*/*onfig.cmake /usr/lib/cmake/"$a1"*/*onfig.cmake \
                  /usr/share/cmake/"$a1"*/*onfig.cmake 2>/dev/null | head -1)
      fi
      check "find_package($a1)" "$file"
      ;;
    pkg_check_modules)
      module=$(awk '{print $NF}' <<<"$rest")
      check "pkg_check_modules($a1 $module)" "$(pkg-config --path "$module" 2>/dev/null)"
      ;;
    find_library)
      name=$(awk '{print $1}' <<<"$rest")
      file=$(cache_value "$a1")
      [ -n "$file" ] || file=$(ls /usr/lib/*/lib"$name".so /usr/lib/lib"$name".so 2>/dev/null | head -1)
      check "find_library($name)" "$file"
      ;;
    find_program)
      name=$(awk '{print $1}' <<<"$rest")
      file=$(cache_value "$a1")
      [ -n "$file" ] || file=$(command -v "$name" || true)
      check "find_program($name)" "$file"
      ;;
    find_file)   # find_file(VAR name PATHS dir ...): the configured path, else the first PATHS entry
      name=$(awk '{print $1}' <<<"$rest")
      file=$(cache_value "$a1")
      if [ -z "$file" ]; then
        dir=$(awk '{for (i = 1; i < NF; i++) if ($i == "PATHS") { print $(i + 1); exit }}' <<<"$rest")
        [ -n "$dir" ] && [ -f "$dir/$name" ] && file="$dir/$name"
      fi
      check "find_file($name)" "$file"
      ;;
  esac
done <<<"$calls"

declare -A owner=()
while IFS= read -r line; do   # "pkg[:arch][, pkg2]: /path"
  path="${line#*: }"
  pkg="${line%%: *}"
  owner[$path]=$(cut -d, -f1 <<<"$pkg" | cut -d: -f1)
done < <(dpkg-query -S "${files[@]}" 2>/dev/null)
for i in "${!files[@]}"; do
  pkg="${owner[${files[$i]}]:-}"
  if [ -z "$pkg" ]; then
    echo "FAIL: ${whats[$i]}: ${files[$i]} belongs to no Debian package"
    fail=1
  elif [ -z "${ok[$pkg]:-}" ]; then
    echo "FAIL: ${whats[$i]}: ${files[$i]} comes from '$pkg', which scripts/install-deps.sh does not install"
    fail=1
  else
    echo "ok: ${whats[$i]} <- $pkg"
  fi
done
exit $fail
