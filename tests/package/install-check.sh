#!/usr/bin/env bash
# Installs the Debian package on this machine with apt-get, runs zolctl from where the package
# put it, checks that the installed files are where the package says, and removes the package
# again (also when a check fails). Needs root (or sudo).
#   tests/package/install-check.sh PACKAGE.deb
set -euo pipefail
deb=$(realpath "${1:?package}")
as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive

"${as_root[@]}" apt-get install -y -qq -o DPkg::Lock::Timeout=300 "$deb" >/dev/null
remove() { "${as_root[@]}" apt-get remove -y -qq -o DPkg::Lock::Timeout=300 --purge zolcfg >/dev/null; }
trap remove EXIT

failed=0
/usr/bin/zolctl --sim read || { echo "installed zolctl --sim read failed"; failed=1; }
for f in /usr/lib/udev/rules.d/70-rw8.rules /usr/share/applications/zolcfg.desktop \
         /usr/share/applications/zolcfg-demo.desktop \
         /usr/share/icons/hicolor/48x48/apps/zolcfg.png \
         /usr/share/metainfo/fr.borvane.zolcfg.metainfo.xml /usr/bin/zolcfg /usr/bin/zolcfg-demo; do
  [ -s "$f" ] || { echo "not installed: $f"; failed=1; }
  dpkg -S "$f" >/dev/null 2>&1 || { echo "not owned by the package: $f"; failed=1; }
done
# Every file the package lists is on disk.
while read -r f; do
  [ -e "$f" ] || { echo "listed but missing: $f"; failed=1; }
done < <(dpkg -L zolcfg)

trap - EXIT
remove
for f in /usr/bin/zolctl /usr/lib/udev/rules.d/70-rw8.rules /usr/share/applications/zolcfg.desktop; do
  [ ! -e "$f" ] || { echo "left after removal: $f"; failed=1; }
done
[ "$failed" -eq 0 ] && echo "package installed, used and removed"
exit "$failed"
