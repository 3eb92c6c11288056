#!/usr/bin/env bash
# run-tests-as-user.sh [USER]: builds the project from a copy of this checkout and runs
# its whole test suite as an ordinary user (default: a system user gdi-test, made when
# missing), the way a developer without root runs it. Tests that need root (a private
# /tmp for the debug-log tests, a private cupsd) skip with their reason. Run as root.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
user=${1:-gdi-test}
if [ "$(id -u)" -ne 0 ]; then
  echo "run-tests-as-user.sh makes and becomes a test user: run it as root" >&2
  exit 2
fi
if ! id "$user" >/dev/null 2>&1; then
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user"
fi
work=$(mktemp -d /tmp/gdi-user-tests.XXXXXX)
trap 'rm -rf "$work"' EXIT
# A copy the user owns, without the build folders of this checkout.
"$top/scripts/copy-tree.sh" "$work"
chown -R "$user": "$work"
chmod 755 "$work"
runuser -u "$user" -- env HOME="$work" bash -c "
  set -euo pipefail
  cd '$work'
  scripts/build.sh build -DGDI_WERROR=ON -DGDI_BUILD_BENCH=OFF
  CTEST_OUTPUT_ON_FAILURE=1 ctest --test-dir build -j$(nproc)
"
