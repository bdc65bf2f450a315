#!/usr/bin/env bash
# Checks the Debian package: what it holds (dpkg-deb --contents), stripped
# programs, the maintainer scripts, the changelog's version, lintian where it
# is installed; then unpacks it into a scratch root (dpkg -x) and runs the
# programs installed there.
#
#   verify_deb.sh [--hardened] FILE.deb
#                                     --hardened: the programs are also PIE,
#                                     relro, bindnow and fortified (readelf,
#                                     and no lintian hardening-* tag)
#   verify_deb.sh --build BUILD_DIR   build the package of BUILD_DIR first
#                                     (cpack, into a scratch directory)
# Exit 77 (skipped) where dpkg-deb or cpack is missing.
set -euo pipefail
command -v dpkg-deb >/dev/null || { echo "dpkg-deb not installed"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
man=1
hardened=0
if [ "$1" = --hardened ]; then
  hardened=1
  shift
fi
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
wanted=(./usr/bin/ovretain ./usr/bin/ovnode ./usr/bin/ovretain-archive ./lib/systemd/system/ovretain.service
        ./lib/systemd/system/ovretain-archive.service ./usr/share/doc/ovretain/ARCHIVE.md
        ./lib/systemd/system/ovretain-metrics.service ./lib/systemd/system/ovretain-metrics.timer
        ./usr/libexec/ovretain/ovretain-start
        ./usr/share/bash-completion/completions/ovnode ./usr/share/zsh/vendor-completions/_ovnode
        ./usr/share/doc/ovretain/README.md ./usr/share/doc/ovretain/examples/plant_layout.csv
        ./usr/share/doc/ovretain/LICENSE ./usr/share/doc/ovretain/copyright ./usr/share/doc/ovretain/changelog.gz)
((man)) && wanted+=(./usr/share/man/man8/ovretain.8.gz ./usr/share/man/man1/ovnode.1.gz
                    ./usr/share/man/man8/ovretain-archive.8.gz)
for path in "${wanted[@]}"; do
  grep -qx -- "$path" <<<"$contents" || fail "holds no $path"
done
if grep -q '^./usr/local' <<<"$contents"; then fail "installs into /usr/local"; fi
dpkg-deb -f "$deb" Depends | grep -qw adduser || fail "does not depend on adduser, which postinst uses"
dpkg-deb -I "$deb" postinst | grep -q 'adduser .*--system --group .* ovretain' || fail "postinst makes no ovretain user"
# The systemd helpers' steps: enable per preset and start, restart on
# upgrade; stop on removal; mask, then purge the links.
dpkg-deb -I "$deb" postinst | grep -q 'deb-systemd-helper enable' || fail "postinst enables no unit"
dpkg-deb -I "$deb" postinst | grep -q 'deb-systemd-invoke \$action ovretain.service' || fail "postinst starts nothing"
dpkg-deb -I "$deb" prerm | grep -q 'deb-systemd-invoke stop .*ovretain.service' || fail "prerm stops nothing"
dpkg-deb -I "$deb" postrm | grep -q 'deb-systemd-helper purge' || fail "postrm purges no links"

root=$dir/root
dpkg -x "$deb" "$root"
for program in ovretain ovnode; do
  if readelf -S "$root/usr/bin/$program" | grep -qE '\.symtab|\.debug_'; then fail "$program is not stripped"; fi
  line=$("$root/usr/bin/$program" --version) || fail "$program --version failed"
  [[ $line == "$program $version ("*")" ]] || fail "$program --version printed '$line'"
  echo "$line"
  if ((hardened)); then
    # (read whole first: grep -q ending a pipe early fails it under pipefail)
    elf=$root/usr/bin/$program
    header=$(readelf -hlW "$elf") dynamic=$(readelf -dW "$elf") symbols=$(readelf --dyn-syms -W "$elf")
    grep -qE 'Type: +DYN' <<<"$header" || fail "$program is not a position-independent executable"
    grep -q GNU_RELRO <<<"$header" || fail "$program has no read-only relocations (relro)"
    grep -qE '\(FLAGS\) +BIND_NOW|\(FLAGS_1\) +Flags:.* NOW' <<<"$dynamic" || fail "$program binds lazily (no -z now)"
    grep -qE ' __[a-z_]+_chk@' <<<"$symbols" || fail "$program uses no fortified function"
  fi
done
grep -qx 'ExecStart=/usr/libexec/ovretain/ovretain-start' "$root/lib/systemd/system/ovretain.service" ||
  fail "the unit does not start /usr/libexec/ovretain/ovretain-start"
grep -qx 'exec "$bindir/ovretain"' "$root/usr/libexec/ovretain/ovretain-start" &&
  grep -qx "bindir='/usr/bin'" "$root/usr/libexec/ovretain/ovretain-start" ||
  fail "ovretain-start does not become /usr/bin/ovretain"
zcat "$root/usr/share/doc/ovretain/changelog.gz" | head -n 1 | grep -qF "ovretain ($version)" ||
  fail "the changelog's latest entry is not version $version"

if command -v lintian >/dev/null; then
  status=0
  lintian --allow-root --display-info --fail-on error,warning "$deb" >"$dir/lintian" 2>&1 || status=$?
  cat "$dir/lintian"
  ((status == 0)) || fail "lintian found faults"
  if ((hardened)) && grep -q ': hardening-' "$dir/lintian"; then fail "lintian finds hardening missing"; fi
else
  echo "lintian not installed: skipped"
fi
echo "package verified"
