#!/usr/bin/env bash
# Checks that the packages of `scripts/setup demo`, with what they depend on, hold everything the
# demo's build takes from the system: the compiler, the CMake packages a configuration without
# the tests finds, the headers its objects include and the libraries it links (as BUILD_DIR,
# built with everything, used them for the same sources).
#   tests/package/check-demo-setup.sh BUILD_DIR
set -euo pipefail
build=$(realpath "${1:?build folder}")
cd "$(dirname "$0")/../.."
top=$PWD

# The packages of the demo set and all they depend on (not what they recommend).
mapfile -t wanted < <(scripts/setup --list demo)
closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
  --no-replaces --no-enhances "${wanted[@]}" | grep -v '^ ' | tr -d '<>' | sort -u)

# The demo's own configuration: only the CMake packages it finds.
demo=$(mktemp -d)
trap 'rm -rf "$demo"' EXIT
cmake -S . -B "$demo" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOL_TESTS=OFF -DZOL_BENCH=OFF >/dev/null
files=()
while IFS= read -r dir; do
  config=$(find "$dir" -maxdepth 1 -name '*onfig.cmake' -print -quit)
  files+=("${config:-$dir}")
done < <(grep -v '_INCLUDE_DIR:' "$demo/CMakeCache.txt" | sed -n 's/^[A-Za-z0-9_]*_DIR:PATH=\(\/.*\)$/\1/p')
files+=("$(realpath "$(sed -n 's/^CMAKE_CXX_COMPILER:FILEPATH=//p' "$demo/CMakeCache.txt")")")

# The program and the libraries of ours it links, with the headers their objects included and
# the system libraries linked.
link=$build/windows/CMakeFiles/zolcfg-demo.dir/link.txt
[ -f "$link" ] || { echo "no zolcfg-demo in $build"; exit 1; }
objects=("$build/windows/CMakeFiles/zolcfg-demo.dir")
for lib in $(grep -o 'lib[A-Za-z0-9_]*\.a' "$link" | sort -u); do
  name=${lib#lib}
  objects+=("$(find "$build" -type d -name "${name%.a}.dir" -path '*/CMakeFiles/*' -print -quit)")
done
mapfile -t deps < <(find "${objects[@]}" -name '*.o.d' -exec cat {} + | tr ' \\' '\n\n' |
  grep -E '^/' | grep -vE "^($top|$build)/" | sort -u)
[ ${#deps[@]} -gt 0 ] || { echo "no compiler dependency files under $build: build zolcfg-demo first"; exit 1; }
files+=("${deps[@]}")
files+=($(grep -oE '/usr/[^ ]+\.so[.0-9]*' "$link"))

# Each one's package must be in the closure. dpkg knows some files by another name (a link on
# the way): those are asked for again under their real name.
failed=0
mapfile -t files < <(printf '%s\n' "${files[@]}" | sort -u)
declare -A owner=()
while IFS= read -r line; do
  owner[${line#*: }]=${line%%: *}
done < <(dpkg -S "${files[@]}" 2>/dev/null | grep -v '^diversion ')
declare -A seen=()
for f in "${files[@]}"; do
  o=${owner[$f]:-}
  if [ -z "$o" ]; then
    o=$(dpkg -S "$(realpath "$f")" 2>/dev/null | grep -v '^diversion ' | head -1) || true
    o=${o%%: *}
  fi
  o=${o%%:*} # the package, without its architecture
  if [ -z "$o" ]; then
    echo "no package holds $f"
    failed=1
    continue
  fi
  seen[$o]=1
  if ! grep -qxF "$o" <<<"$closure"; then
    echo "the demo build takes $f from $o, which scripts/setup demo does not bring"
    failed=1
  fi
done
[ "$failed" -eq 0 ] &&
  echo "scripts/setup demo: ${#wanted[@]} packages ($(wc -l <<<"$closure") with their dependencies) hold the ${#files[@]} files the demo build takes (from ${#seen[@]} packages)"
exit "$failed"
