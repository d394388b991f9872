#!/bin/sh
# Builds the Debian package from a configured and built tree and checks it the
# way Debian and the desktops would: lintian (errors fail), the desktop entry,
# the AppStream metadata, the systemd units, the manual page, the icons, the
# dependencies, and the unpacked program answering --version.
# Usage: package_check.sh BUILD_DIR WORK_DIR VERSION
# Exit 77 (skipped) when a checking tool is missing.
set -eu
build=$1 work=$2 version=$3
id=org.kelvox.Kelvox

for tool in cpack dpkg-deb lintian desktop-file-validate appstreamcli systemd-analyze file man; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (tools/install-deps.sh installs it)"
    exit 77
  fi
done

fail() {
  echo "FAIL: $*"
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
set -- "$work"/kelvox_*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one .deb in $work, found: $*"
deb=$1
echo "package: $(basename "$deb")"

# Control data: our version, shared-library dependencies found by shlibdeps.
[ "$(dpkg-deb -f "$deb" Version)" = "$version-1" ] || fail "version $(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libc6 libqt6widgets6 libqt6gui6 libqt6core6 libqt6network6; do
  echo "$depends" | grep -q "$lib (>= " || fail "Depends lacks a versioned $lib"
done
echo "$depends" | grep -q "qt6-qpa-plugins" || fail "Depends lacks the window's qt6-qpa-plugins"
echo "$depends" | grep -q "libmosquitto1" || fail "Depends lacks libmosquitto1 (loaded at run time)"

echo "--- lintian"
lintian --fail-on error --display-info "$deb" >"$work/lintian.log" 2>&1 || lintian_rc=$?
cat "$work/lintian.log"
[ "${lintian_rc:-0}" -eq 0 ] || fail "lintian reported errors"

root=$work/root
dpkg-deb -x "$deb" "$root"
for f in usr/bin/kelvox "usr/share/applications/$id.desktop" "usr/share/metainfo/$id.metainfo.xml" \
  "usr/share/icons/hicolor/scalable/apps/$id.svg" usr/share/man/man1/kelvox.1.gz \
  usr/share/doc/kelvox/copyright usr/share/doc/kelvox/changelog.Debian.gz \
  usr/share/doc/kelvox/README.Debian usr/share/doc/kelvox/examples/kelvox.ini \
  usr/lib/systemd/system/kelvox.service usr/lib/systemd/system/kelvox@.service; do
  [ -f "$root/$f" ] || fail "missing /$f"
done
for size in 16 22 24 32 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${size}x$size/apps/$id.png
  file "$png" | grep -q "PNG image data, $size x $size," || fail "icon $size: $(file "$png")"
done

echo "--- desktop-file-validate"
desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail "desktop entry"
grep -qx "Exec=kelvox" "$root/usr/share/applications/$id.desktop" || fail "desktop entry Exec"

echo "--- appstreamcli validate-tree"
# The tree check also finds the desktop entry the metadata launches.
appstreamcli validate-tree --pedantic --no-net "$root" || fail "AppStream metadata"
grep -q "<release version=\"$version\"" "$root/usr/share/metainfo/$id.metainfo.xml" ||
  fail "AppStream metadata has no release $version"

echo "--- manual page"
warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
  man --warnings -E UTF-8 -l -Tutf8 -Z "$root/usr/share/man/man1/kelvox.1.gz" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man: $warnings"

echo "--- systemd-analyze verify"
# Verified inside the unpacked tree, so that ExecStart must name the packaged
# program; the host's units and kill (ExecReload) stand in for the rest of
# the system.
cp -rn /lib/systemd/system/. "$root/usr/lib/systemd/system/" 2>/dev/null || true
mkdir -p "$root/bin" && cp /bin/kill "$root/bin/"
grep -qx "ExecStart=/usr/bin/kelvox --headless" "$root/usr/lib/systemd/system/kelvox.service" ||
  fail "kelvox.service ExecStart"
out=$(systemd-analyze verify --man=no --root="$root" kelvox.service kelvox@first.service 2>&1) ||
  fail "systemd-analyze: $out"
[ -z "$out" ] || fail "systemd-analyze: $out"
echo "kelvox.service and kelvox@first.service verified"

echo "--- maintainer scripts"
# Run beside stand-ins that log the calls, in a mount namespace whose /run
# says that systemd runs; the lines other than deb-systemd-helper's count.
dpkg-deb -e "$deb" "$work/control"
mkdir -p "$work/stubs"
for tool in systemctl deb-systemd-invoke deb-systemd-helper; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$work" >"$work/stubs/$tool"
  chmod +x "$work/stubs/$tool"
done
expect() { # expect CALLS SCRIPT ARGUMENTS...
  want=$1 && shift && : >"$work/calls"
  PATH=$work/stubs:$PATH unshare -rm sh -c 'mount -t tmpfs none /run &&
    mkdir -p /run/systemd/system && exec "$@"' - "$work/control/$@" || fail "$* failed"
  got=$(grep -v '^deb-systemd-helper' "$work/calls" | tr '\n' ';')
  [ "$got" = "$want" ] || fail "$*: made '$got', not '$want'"
}
reload="systemctl --system daemon-reload;"
expect "$reload" postinst configure
expect "${reload}deb-systemd-invoke restart kelvox.service;deb-systemd-invoke try-restart kelvox@*.service;" \
  postinst configure 0.0.9-1
expect "" prerm upgrade 0.1.1-1
expect "deb-systemd-invoke stop kelvox.service kelvox@*.service;" prerm remove
expect "$reload" postrm remove
echo "install, upgrade and removal make the expected calls"

echo "--- unpacked program"
got=$("$root/usr/bin/kelvox" --version) || fail "kelvox --version failed"
[ "$got" = "kelvox $version" ] || fail "kelvox --version printed '$got'"
echo "$got"
echo "package checks passed"
