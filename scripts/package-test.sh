#!/usr/bin/env bash
# Builds the .deb, checks it with lintian (pedantic: any tag at all fails) and the metainfo with
# appstreamcli, installs it with apt as a user would, starts the programs from it (the
# configurator on Xvfb, where its window must carry the installed icon; torvik-cli against the
# installed simulator), and removes it again.
# Needs root (CI runs it as root).
set -euo pipefail
cd "$(dirname "$0")/.."
TORVIK_EXTRA_PACKAGES="dpkg-dev lintian appstream x11-utils bash-completion python3-jsonschema" source scripts/deps.sh

rm -rf build-package
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTORVIK_BUILD_TESTS=OFF \
      -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-package
(cd build-package && cpack >/dev/null)
deb=$(ls build-package/torvik-config_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Depends

report=$(lintian --allow-root --display-info --pedantic "$deb" 2>&1 || true)
if [ -n "$report" ]; then
    echo "$report"
    echo "lintian has something to say about the package"
    exit 1
fi
echo "lintian --pedantic: nothing to say"
appstreamcli validate --no-net packaging/org.torvik_config.configurator.metainfo.xml

DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb" >/dev/null
for f in /usr/bin/torvik-config /usr/bin/torvik-cli /usr/bin/torvik-reader-sim \
         /usr/share/applications/torvik-config.desktop \
         /usr/share/icons/hicolor/scalable/apps/torvik-config.svg \
         /usr/share/icons/hicolor/256x256/apps/torvik-config.png \
         /usr/share/metainfo/org.torvik_config.configurator.metainfo.xml \
         /usr/share/man/man1/torvik-config.1.gz /usr/share/man/man1/torvik-reader-sim.1.gz \
         /usr/share/man/man1/torvik-cli.1.gz \
         /usr/share/bash-completion/completions/torvik-cli \
         /usr/share/zsh/vendor-completions/_torvik-cli \
         /usr/share/fish/vendor_completions.d/torvik-cli.fish \
         /usr/share/torvik-config/settings-file.schema.json \
         /usr/share/torvik-config/read.schema.json \
         /usr/share/torvik-config/events.schema.json \
         /usr/share/doc/torvik-config/copyright /usr/share/doc/torvik-config/changelog.gz; do
    test -e "$f" || { echo "missing after install: $f"; exit 1; }
done
torvik-reader-sim --help | grep -q -- "--save-image"
torvik-config --version | grep -qx "torvik-config [0-9.]*"
torvik-cli --version | grep -qx "torvik-cli [0-9.]*"

# Each shell finds the completion where the package put it: bash through bash-completion's
# loader, zsh through its own fpath, fish by itself.
commands="ports read write factory-settings set-filter boot backup restore diff program"
bashed=$(bash -c 'source /usr/share/bash-completion/bash_completion
    __load_completion torvik-cli; COMP_WORDS=(torvik-cli ""); COMP_CWORD=1
    $(complete -p torvik-cli | sed "s/.*-F \([^ ]*\) .*/\1/"); echo "${COMPREPLY[*]}"')
[ "$bashed" = "$commands" ] || { echo "bash completes torvik-cli with: $bashed"; exit 1; }
bashed=$(bash -c 'source /usr/share/bash-completion/bash_completion
    __load_completion torvik-cli; COMP_WORDS=(torvik-cli --port COM3 write --set cbL)
    COMP_CWORD=5; $(complete -p torvik-cli | sed "s/.*-F \([^ ]*\) .*/\1/"); echo "${COMPREPLY[*]}"')
[ "$bashed" = "cbLock=" ] || { echo "bash completes --set cbL with: $bashed"; exit 1; }
zshed=$(zsh -f -c 'autoload -Uz compinit; compinit -u -D; print -r -- $_comps[torvik-cli]')
[ "$zshed" = "_torvik-cli" ] || { echo "zsh completes torvik-cli with: $zshed"; exit 1; }
fished=$(fish -c 'complete -C "torvik-cli "' | cut -f1 | sort | tr '\n' ' ')
[ "$fished" = "$(tr ' ' '\n' <<<"$commands" | sort | tr '\n' ' ')" ] ||
    { echo "fish completes torvik-cli with: $fished"; exit 1; }

# torvik-cli reads the installed simulator's defaults, without a display.
simhome=$(mktemp -d)
HOME="$simhome" torvik-reader-sim --com COM5 >"$simhome/sim.log" 2>&1 &
sim=$!
for _ in $(seq 50); do grep -q " on COM5" "$simhome/sim.log" 2>/dev/null && break; sleep 0.1; done
json=$(HOME="$simhome" torvik-cli --port COM5 read --json) || { echo "torvik-cli read failed"; exit 1; }
kill -INT "$sim"
wait "$sim" || true
rm -rf "$simhome"
# What it printed is what the installed schema says.
jsonfile=$(mktemp --suffix=.json)
printf '%s\n' "$json" >"$jsonfile"
/usr/bin/python3 -W ignore tests/support/check_schema.py /usr/share/torvik-config read.schema.json \
    "$jsonfile" || { echo "torvik-cli read --json is not valid against the installed schema"; exit 1; }
rm -f "$jsonfile"
for field in '"version": "15.1.7.1"' '"name": "Torvik-N3"' '"text": "protected"' \
             '"text": "Wiegand 26"' '"ms": 1000' '"filtersRead": true'; do
    grep -qF "$field" <<<"$json" || { echo "torvik-cli read --json lacks $field"; echo "$json"; exit 1; }
done

# The configurator runs until it is stopped: still running after 3 s means it started. On a
# real display its window carries the installed icon. -noreset: a server that resets when its
# last client (an xdotool search) leaves refuses the connections made meanwhile.
xdir=$(mktemp -d)
Xvfb -displayfd 3 -noreset -nolisten tcp 3>"$xdir/display" 2>/dev/null &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null; rm -rf "$xdir"' EXIT
for _ in $(seq 50); do [ -s "$xdir/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$xdir/display")"
torvik-config &
app=$!
window=""
for _ in $(seq 100); do
    window=$(xdotool search --onlyvisible --name '^Torvik config V15$' 2>/dev/null | head -n 1) || true
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { echo "torvik-config showed no window"; exit 1; }
icon=""
for _ in $(seq 50); do
    icon=$(xprop -id "$window" -len 8 _NET_WM_ICON 2>/dev/null | grep -o "Icon (256 x 256)") || true
    [ -n "$icon" ] && break
    sleep 0.1
done
[ -n "$icon" ] || { echo "the window has not the installed icon"; exit 1; }
sleep 1
kill -0 "$app" || { echo "torvik-config ended by itself"; exit 1; }
kill -TERM "$app"
wait "$app" || { echo "torvik-config ended with $? on SIGTERM"; exit 1; }
unset DISPLAY

DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq torvik-config >/dev/null
for f in /usr/bin/torvik-config /usr/bin/torvik-cli /usr/bin/torvik-reader-sim \
         /usr/share/applications/torvik-config.desktop \
         /usr/share/bash-completion/completions/torvik-cli \
         /usr/share/metainfo/org.torvik_config.configurator.metainfo.xml; do
    test ! -e "$f" || { echo "left after removal: $f"; exit 1; }
done
echo "package: lintian-clean, installs, the programs start, torvik-cli reads the simulator, the window has its icon, removes cleanly"
