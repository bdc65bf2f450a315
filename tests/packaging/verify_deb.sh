#!/usr/bin/env bash
# Checks the Debian package: what it holds (dpkg-deb --contents), stripped
# programs, the maintainer scripts, the changelog's version, lintian where it
# is installed; then unpacks it into a scratch root (dpkg -x) and runs the
# programs installed there.
#
#   verify_deb.sh FILE.deb
#   verify_deb.sh --build BUILD_DIR   build the package of BUILD_DIR first
#                                     (cpack, into a scratch directory)
# Exit 77 (skipped) where dpkg-deb or cpack is missing.
set -euo pipefail
command -v dpkg-deb >/dev/null || { echo "dpkg-deb not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
man=1
if [ "$1" = --build ]; then
  build=$2
  command -v cpack >/dev/null || { echo "cpack not installed"; exit 77; }
  (cd "$build" && cpack -G DEB -B "$dir/package" >"$dir/cpack.log" 2>&1) || { cat "$dir/cpack.log"; exit 1; }
  deb=$(ls "$dir"/package/*.deb)
  grep -q '^SCDOC:FILEPATH=.*NOTFOUND' "$build/CMakeCache.txt" && man=0
else
  deb=$1
fi

fail() { echo "$(basename "$deb"): $*"; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$(basename "$deb")" = "ovretain_${version}_${arch}.deb" ] || fail "not named ovretain_${version}_${arch}.deb"

contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
wanted=(./usr/bin/ovretain ./usr/bin/ovnode ./lib/systemd/system/ovretain.service
        ./usr/share/bash-completion/completions/ovnode ./usr/share/doc/ovretain/README.md
        ./usr/share/doc/ovretain/LICENSE ./usr/share/doc/ovretain/copyright ./usr/share/doc/ovretain/changelog.gz)
((man)) && wanted+=(./usr/share/man/man8/ovretain.8.gz ./usr/share/man/man1/ovnode.1.gz)
for path in "${wanted[@]}"; do
  grep -qx -- "$path" <<<"$contents" || fail "holds no $path"
done
if grep -q '^./usr/local' <<<"$contents"; then fail "installs into /usr/local"; fi
dpkg-deb -f "$deb" Depends | grep -qw adduser || fail "does not depend on adduser, which postinst uses"
dpkg-deb -I "$deb" postinst | grep -q 'adduser .*--system --group .* ovretain' || fail "postinst makes no ovretain user"

root=$dir/root
dpkg -x "$deb" "$root"
for program in ovretain ovnode; do
  if readelf -S "$root/usr/bin/$program" | grep -qE '\.symtab|\.debug_'; then fail "$program is not stripped"; fi
  line=$("$root/usr/bin/$program" --version) || fail "$program --version failed"
  [[ $line == "$program $version ("*")" ]] || fail "$program --version printed '$line'"
  echo "$line"
done
grep -qx 'ExecStart=/usr/bin/ovretain' "$root/lib/systemd/system/ovretain.service" ||
  fail "the unit does not start /usr/bin/ovretain"
zcat "$root/usr/share/doc/ovretain/changelog.gz" | head -n 1 | grep -qF "ovretain ($version)" ||
  fail "the changelog's latest entry is not version $version"

if command -v lintian >/dev/null; then
  lintian --allow-root --fail-on error,warning "$deb" || fail "lintian found faults"
else
  echo "lintian not installed: skipped"
fi
echo "package verified"
