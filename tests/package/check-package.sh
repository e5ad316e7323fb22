#!/bin/sh
# Reads the Debian package in folder $1 with dpkg-deb: the files it installs and
# the packages it declares it needs, so that "apt install ./relayo_*.deb" on a
# fresh Debian brings everything the program loads.
set -u
deb=$(ls "$1"/relayo_*.deb) || exit 1
status=0
fail() { echo "FAIL: $*"; status=1; }

files=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
# Exactly the program's own files: nothing of the tests, the benchmarks or the build.
expected='./usr/bin/relayo-app
./usr/bin/relayo-models
./usr/lib/relayo/librelayo_torch_ops.so
./usr/share/applications/relayo.desktop
./usr/share/metainfo/app.relayo.Relayo.metainfo.xml
./usr/share/icons/hicolor/scalable/apps/relayo.svg
./usr/share/doc/relayo/copyright
./usr/share/doc/relayo/changelog.gz
./usr/share/man/man1/relayo-app.1.gz
./usr/share/man/man1/relayo-models.1.gz'
for file in $expected; do
    echo "$files" | grep -qx "$file" || fail "the package lacks $file"
done
extra=$(echo "$files" | grep -v '/$' | grep -vxF "$expected")
[ -z "$extra" ] || fail "unexpected files: $extra"

# The desktop entry starts the installed program.
dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/applications/relayo.desktop |
    grep -qx 'Exec=relayo-app' || fail "the desktop entry does not run relayo-app"

# Software centres accept the listing, and it names the desktop entry the package installs.
listing=$(mktemp -d)
dpkg-deb -x "$deb" "$listing"
metainfo="$listing/usr/share/metainfo/app.relayo.Relayo.metainfo.xml"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects the metainfo"
grep -q '<launchable type="desktop-id">relayo.desktop</launchable>' "$metainfo" ||
    fail "the metainfo does not launch relayo.desktop"
rm -rf "$listing"

[ "$(dpkg-deb -f "$deb" Package)" = relayo ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed 's/^ *//; s/[ (].*//')
# Libraries found by dpkg-shlibdeps, and what the program loads or runs by name.
for package in libtorch1.13 libqt6quick6 libqt6qml6 libqt6network6 libpulse0 libsecret-1-0 \
               libsndfile1 libsoxr0 qml6-module-qtquick qml6-module-qtquick-controls \
               qml6-module-qtquick-layouts qml6-module-qtquick-window qt6-qpa-plugins \
               espeak-ng xdg-utils libopenblas0-pthread; do
    echo "$depends" | grep -qx "$package" || fail "Depends lacks $package"
done
exit $status
