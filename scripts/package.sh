#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The Debian packages of this tree, built by dpkg-buildpackage in a scratch
# copy so that neither the tree nor its build directory gets build products:
#
#   scripts/package.sh OUT_DIR [JOBS]
#
# leaves the .debs (with the .buildinfo and .changes that name them) in
# OUT_DIR. The copy holds the files git knows of, committed or not (plus new
# files not ignored); outside a git checkout, everything but build*/.
set -eu
out=$(realpath -m "${1:?usage: scripts/package.sh OUT_DIR [JOBS]}")
jobs=${2:-$(nproc 2>/dev/null || echo 2)}
top=$(cd "$(dirname "$0")/.." && pwd)
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)

work=$(mktemp -d "${TMPDIR:-/tmp}/fontseal-package.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
src="$work/fontseal-$version"
mkdir "$src"
if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$top" && git ls-files -z --cached --others --exclude-standard |
     xargs -0 -r sh -c 'for f; do [ -e "$f" ] || [ -L "$f" ] && printf "%s\0" "$f"; done' sh |
     tar --null -T - -cf -) | tar -xf - -C "$src"
else
  (cd "$top" && tar --exclude='./build*' --exclude=./.git -cf - .) | tar -xf - -C "$src"
fi

# The system's tools only: a Python or compiler of the user's PATH (pyenv,
# /usr/local) has no business in a Debian package. No -dbgsym packages
# unless DEB_BUILD_OPTIONS asks otherwise, so that OUT_DIR/*.deb are the four
# to install.
(cd "$src" && PATH=/usr/sbin:/usr/bin:/sbin:/bin \
   DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-noautodbgsym}" \
   dpkg-buildpackage -us -uc -b)

mkdir -p "$out"
rm -f "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
for f in "$work"/*.deb "$work"/*.ddeb "$work"/*.changes "$work"/*.buildinfo; do
  [ -e "$f" ] && mv "$f" "$out"/
done
ls -1 "$out"
