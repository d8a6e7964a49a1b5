#!/usr/bin/env bash
# Refresh the plotting library the results browser ships, from npm.
#
#   src/corvina/web/vendor.sh [VERSION]     (default: the version pinned below)
#
# The page loads nothing from other hosts (its Content-Security-Policy would
# refuse it, and it must work without internet), so the built file, its
# stylesheet and its licence are copied into static/vendored/ and committed.
# npm is needed only here, never to build or run the package.
set -euo pipefail

VERSION=${1:-1.6.32}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TARGET=$HERE/static/vendored
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

command -v npm >/dev/null || { echo "vendor.sh: npm is needed to fetch uplot@$VERSION" >&2; exit 2; }
( cd "$WORK" && npm pack --silent "uplot@$VERSION" >/dev/null )
tar -xzf "$WORK"/uplot-*.tgz -C "$WORK"
mkdir -p "$TARGET"
cp "$WORK/package/dist/uPlot.iife.min.js" "$TARGET/uPlot.iife.min.js"
cp "$WORK/package/dist/uPlot.min.css" "$TARGET/uPlot.min.css"
cp "$WORK/package/LICENSE" "$TARGET/uPlot.LICENSE"
printf 'uplot %s (npm), dist/uPlot.iife.min.js, dist/uPlot.min.css, LICENSE\n' "$VERSION" > "$TARGET/VERSIONS"
echo "vendored uplot $VERSION into $TARGET"
