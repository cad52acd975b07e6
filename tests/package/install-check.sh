#!/usr/bin/env bash
# Unpacks the Debian package into a throw-away folder, as dpkg would lay it out under /, checks
# that every file it lists is there and that the installed files are where the package says,
# and runs zolctl from there. Nothing is installed on this machine and nothing of an installed
# zolcfg is touched: the check fails if the system's record of zolcfg changed meanwhile.
#   tests/package/install-check.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "${1:?package}")
state() { dpkg-query -W -f='${Status} ${Version}\n' zolcfg 2>/dev/null || echo "not known to dpkg"; }
before=$(state)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

failed=0
"$root/usr/bin/zolctl" --sim read || { echo "zolctl from the package: --sim read failed"; failed=1; }
for f in /usr/lib/udev/rules.d/70-rw8.rules /usr/share/applications/zolcfg.desktop \
         /usr/share/applications/zolcfg-demo.desktop \
         /usr/share/icons/hicolor/48x48/apps/zolcfg.png \
         /usr/share/metainfo/fr.borvane.zolcfg.metainfo.xml /usr/bin/zolcfg /usr/bin/zolcfg-demo \
         /usr/bin/zolctl; do
  [ -s "$root$f" ] || { echo "not in the package: $f"; failed=1; }
done
for f in /usr/bin/zolcfg /usr/bin/zolcfg-demo /usr/bin/zolctl; do
  [ -x "$root$f" ] || { echo "not executable: $f"; failed=1; }
done
# Every file the package lists is unpacked.
while read -r f; do
  [ -e "$root/$f" ] || [ -L "$root/$f" ] || { echo "listed but missing: $f"; failed=1; }
done < <(dpkg-deb -c "$deb" | awk '{ print $6 }')

after=$(state)
if [ "$after" != "$before" ]; then
  echo "the system's zolcfg changed during the check: was '$before', now '$after'"
  failed=1
fi
[ "$failed" -eq 0 ] && echo "package unpacked and used in a throw-away folder; the system's zolcfg untouched ($before)"
exit "$failed"
