#!/usr/bin/env bash
# Builds the Debian package from a built tree and checks it as Debian would:
# lintian reports no errors, the launchers pass desktop-file-validate, and
# the package holds the programs, man pages, user unit and documents.
#   tools/package-check.sh BUILD_DIR
# The package is made in a temporary folder (cpack, as the "package" target
# runs it); nothing is installed.
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; exit 1; }
deb=$(ls "$work"/pallorwind_*_*.deb)
echo "package: $(basename "$deb") ($(stat -c %s "$deb") bytes)"

# What must be in it.
dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
missing=0
for f in /usr/bin/pallorwind-win /usr/bin/pallorwind /usr/bin/pallorwind-appsim \
    /usr/bin/pallorwind-unzip \
    /usr/share/man/man1/pallorwind-win.1.gz /usr/share/man/man1/pallorwind.1.gz \
    /usr/share/man/man1/pallorwind-appsim.1.gz /usr/share/man/man1/pallorwind-unzip.1.gz \
    /usr/lib/systemd/user/pallorwind-win.service \
    /usr/share/applications/pallorwind-win.desktop /usr/share/applications/pallorwind.desktop \
    /usr/share/icons/hicolor/scalable/apps/pallorwind-win.svg \
    /usr/share/icons/hicolor/scalable/apps/pallorwind.svg \
    /usr/share/icons/hicolor/scalable/mimetypes/application-x-pallorwind-layout.svg \
    /usr/share/mime/packages/application-x-pallorwind-layout.xml \
    /usr/share/doc/pallorwind/copyright /usr/share/doc/pallorwind/changelog.gz; do
    grep -qx "$f" "$work/files" || { echo "missing from the package: $f" >&2; missing=1; }
done
# The libraries it needs, as dpkg-shlibdeps found them.
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
for lib in libqt6widgets6 libjack libcurl; do
    grep -q "$lib" <<<"$depends" || { echo "Depends lacks $lib" >&2; missing=1; }
done

# Debian's own checks.
lintian --no-tag-display-limit "$deb" >"$work/lintian" 2>&1 || true
cat "$work/lintian"
if grep -q '^E: ' "$work/lintian"; then
    echo "lintian reports errors" >&2
    missing=1
fi
mkdir "$work/root"
dpkg-deb --extract "$deb" "$work/root"
for launcher in "$work"/root/usr/share/applications/*.desktop; do
    desktop-file-validate "$launcher" || missing=1
done
exit $missing
