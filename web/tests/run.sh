#!/usr/bin/env bash
# Tests the browser viewer: builds build-web/index.html, installs the test's
# one npm package (playwright-core, which brings no browser) when its lock
# changed, then runs the decoder under Node and the page in Debian's headless
# Chromium. Ends with 'N passed, M failed'.
#   bash web/tests/run.sh NATIVE_BUILD_DIR    (a build with bin/tzfenc, bin/tzfconv)
set -euo pipefail
cd "$(dirname "$0")/../.."
native=${1:?usage: web/tests/run.sh NATIVE_BUILD_DIR}
for tool in tzfenc tzfconv; do
  [ -x "$native/bin/$tool" ] || { echo "error: $native/bin/$tool is missing" >&2; exit 1; }
done
for program in node npm /usr/bin/chromium; do
  command -v "$program" >/dev/null || { echo "error: $program is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

bash scripts/build-web.sh

tests=web/tests
if ! cmp -s "$tests/package-lock.json" "$tests/node_modules/.tzf-installed-lock"; then
  (cd "$tests" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
  cp "$tests/package-lock.json" "$tests/node_modules/.tzf-installed-lock"
fi
node "$tests/run.js" "$native"
