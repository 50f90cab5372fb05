#!/usr/bin/env bash
# Runs the JavaScript tests with other Node major versions against the addon
# built here (Node-API, so one binary serves them all). Node binaries come
# from the registry's node-<platform>-<arch> packages, into a temporary prefix.
# CI runs it on every major from 18 to 24 but the one it built with.
#   scripts/check-node-versions.sh [major...]     default: 18 22 24
set -uo pipefail
cd "$(dirname "$0")/.."

majors=("$@")
[ ${#majors[@]} -eq 0 ] && majors=(18 22 24)
platform=$(node -p process.platform)
arch=$(node -p process.arch)
prefix=$(mktemp -d "${TMPDIR:-/tmp}/kinovar-node-versions-XXXXXX")
trap 'rm -rf "$prefix"' EXIT

if [ ! -f build/addon/Release/addon.node ]; then
  npx cmake-js compile --out build/addon || exit 1
fi
tests=$(ls test/js/*.test.js | sort)

passed=()
failed=()
for major in "${majors[@]}"; do
  dir="$prefix/$major"
  package="node-$platform-$arch"
  echo "== Node $major: installing $package@$major"
  if ! npm install --prefix "$dir" --no-save --no-audit --no-fund --no-package-lock "$package@$major" >"$dir.log" 2>&1; then
    cat "$dir.log"
    failed+=("$major (not installed)")
    continue
  fi
  node_bin="$dir/node_modules/$package/bin/node"
  version=$("$node_bin" --version)
  echo "== $version: node --test"
  # shellcheck disable=SC2086
  if "$node_bin" --test --test-reporter=tap $tests >"$dir.test.log" 2>&1; then
    grep -E '^# (tests|pass|fail|skipped)' "$dir.test.log"
    passed+=("$version")
  else
    # Each failure with its diagnostics, so that a CI log alone tells why.
    awk '/^not ok/ { show = 1 } show { print } /^  \.\.\.$/ { show = 0 }' "$dir.test.log" | head -n 200
    grep -E '^# (tests|pass|fail|skipped)' "$dir.test.log"
    failed+=("$version")
  fi
done

echo
echo "passed: ${passed[*]:-none}"
echo "failed: ${failed[*]:-none}"
[ ${#failed[@]} -eq 0 ]
