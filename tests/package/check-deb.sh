#!/usr/bin/env bash
# Lists the Debian package and checks that it holds every file the product installs, that
# dpkg-shlibdeps filled in its dependencies, that its programs are built hardened as Debian's
# own (lintian's hardening tags), and that its post-installation step reloads udev only where
# udevadm exists.
#   tests/package/check-deb.sh PACKAGE.deb [BUILD_DIR]
# Exits 77 (skipped) when the package was not built, or not from the programs in BUILD_DIR
# (scripts/package builds it).
set -euo pipefail
deb=${1:?package}
build=${2:-}
if [ ! -f "$deb" ]; then
  echo "no package at $deb: run scripts/package first"
  exit 77
fi
# A package older than the programs it should hold is not this build's (scripts/package makes
# it again).
for program in windows/zolcfg windows/zolcfg-demo tools/zolctl; do
  if [ -n "$build" ] && [ "$build/$program" -nt "$deb" ]; then
    echo "$deb is older than $program: run scripts/package first"
    exit 77
  fi
done

listing=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#')
expected=(
  /usr/bin/zolcfg /usr/bin/zolcfg-demo /usr/bin/zolctl
  /usr/lib/udev/rules.d/70-rw8.rules
  /usr/share/applications/zolcfg.desktop /usr/share/applications/zolcfg-demo.desktop
  /usr/share/metainfo/fr.borvane.zolcfg.metainfo.xml
  /usr/share/man/man1/zolcfg.1.gz /usr/share/man/man1/zolcfg-demo.1.gz
  /usr/share/doc/zolcfg/copyright /usr/share/doc/zolcfg/changelog.gz
)
for size in 16 32 48 64 128 256; do
  expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/zolcfg.png")
done
# zolctl's manual page is compressed by the build when gzip is there.
if [ -n "$build" ] && [ -n "$(find "$build" -name 'zolctl.1*' -print -quit)" ]; then
  expected+=(/usr/share/man/man1/zolctl.1.gz)
fi

failed=0
for f in "${expected[@]}"; do
  if ! grep -qxF "$f" <<<"$listing"; then
    echo "missing from the package: $f"
    failed=1
  fi
done
if [ "$(grep -cxF /usr/bin/zolctl <<<"$listing")" -ne 1 ]; then
  echo "zolctl is not in the package exactly once"
  failed=1
fi

# Dependencies come from dpkg-shlibdeps: the toolkit, hidapi and udev are among them.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libhidapi-hidraw0 libudev1 libc6; do
  grep -q "$lib" <<<"$depends" || { echo "Depends lacks $lib: $depends"; failed=1; }
done
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || { echo "not amd64"; failed=1; }
case "$(basename "$deb")" in
  zolcfg_"$(dpkg-deb -f "$deb" Version)"_amd64.deb) ;;
  *) echo "unexpected file name $(basename "$deb")"; failed=1 ;;
esac

# Hardened as dpkg-buildflags would build it: relocations bound at start (bindnow), fortified
# libc calls, position-independent. lintian says so in tags of its "info" level only.
if command -v lintian >/dev/null; then
  tags=hardening-no-bindnow,hardening-no-fortify-functions,hardening-no-relro,hardening-no-pie
  hardening=$(lintian --display-info --tags "$tags" "$deb" 2>&1) || true
  if grep -q 'hardening-no-' <<<"$hardening"; then
    echo "lintian: programs not built hardened:"
    echo "$hardening"
    failed=1
  fi
else
  echo "lintian is missing (scripts/setup package installs it)"
  failed=1
fi

# The post-installation step: reloads udev when udevadm exists, and succeeds without it.
control=$(mktemp -d)
trap 'rm -rf "$control"' EXIT
dpkg-deb -e "$deb" "$control"
grep -q 'command -v udevadm' "$control/postinst" || { echo "postinst does not look for udevadm"; failed=1; }
mkdir "$control/bin"
for tool in sh dash; do ln -s "$(command -v $tool)" "$control/bin/$tool"; done
PATH="$control/bin" "$control/bin/sh" "$control/postinst" configure ||
  { echo "postinst fails where udevadm is missing"; failed=1; }

[ "$failed" -eq 0 ] && echo "package contents: ${#expected[@]} files checked"
exit "$failed"
