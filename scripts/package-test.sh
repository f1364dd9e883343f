#!/usr/bin/env bash
# Builds the .deb, installs it with apt as a user would, starts both programs from it, and
# removes it again. Needs root (CI runs it as root).
set -euo pipefail
cd "$(dirname "$0")/.."
TORVIK_EXTRA_PACKAGES="dpkg-dev" source scripts/deps.sh

rm -rf build-package
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTORVIK_BUILD_TESTS=OFF \
      -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-package
(cd build-package && cpack >/dev/null)
deb=$(ls build-package/torvik-config_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Depends

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
for f in /usr/bin/torvik-config /usr/bin/torvik-reader-sim \
         /usr/share/applications/torvik-config.desktop \
         /usr/share/icons/hicolor/scalable/apps/torvik-config.svg; do
    test -e "$f" || { echo "missing after install: $f"; exit 1; }
done
torvik-reader-sim --help | grep -q -- "--save-image"
# The configurator runs until it is stopped: still running after 3 s means it started.
set +e
QT_QPA_PLATFORM=offscreen timeout 3 torvik-config
rc=$?
set -e
[ "$rc" -eq 124 ] || { echo "torvik-config ended with $rc"; exit 1; }

DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq torvik-config >/dev/null
for f in /usr/bin/torvik-config /usr/bin/torvik-reader-sim \
         /usr/share/applications/torvik-config.desktop; do
    test ! -e "$f" || { echo "left after removal: $f"; exit 1; }
done
echo "package: installs, both programs start, removes cleanly"
