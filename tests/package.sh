#!/bin/sh
# Packs the existing build with cpack -G DEB into a temporary folder and checks the
# package: its files and dependencies, the program run from the extracted package, and
# the systemd unit (with systemd-analyze where it is installed).
#
#   package.sh BUILD_DIR SOURCE_DIR VERSION
set -eu
build=$1
source=$2
version=$3

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
need() { # program package
    command -v "$1" >/dev/null 2>&1 || fail "$1 not found: install the Debian package $2"
}
need cpack cmake
need dpkg-deb dpkg
need dpkg-shlibdeps dpkg-dev
need file file

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log" >&2
    fail "cpack -G DEB failed"
}
deb="$work/out/kelvara_${version}_amd64.deb"
window="$work/out/kelvara-window_${version}_amd64.deb"
for package in "$deb" "$window"; do
    [ -f "$package" ] || fail "cpack made no $(basename "$package"): $(ls "$work/out")"
    echo "made $(basename "$package"), $(wc -c <"$package") bytes"
done

# The service's package and the window's, each with its own files.
files() { dpkg-deb -c "$1" | awk '{ print $6 }' | sed 's|^\./|/|'; }
files "$deb" >"$work/files"
files "$window" >"$work/window-files"
expected="/usr/bin/kelvara /usr/bin/kelvara-netsim /usr/share/doc/kelvara/README.md
/usr/lib/systemd/system/kelvara.service"
for example in "$source"/examples/*.json "$source"/examples/*.js "$source"/examples/*.yaml; do
    expected="$expected /usr/share/kelvara/examples/$(basename "$example")"
done
for path in $expected; do
    grep -qxF "$path" "$work/files" || fail "kelvara lacks $path"
done
window_expected="/usr/lib/kelvara/kelvara-window.so /usr/share/applications/kelvara.desktop
/usr/share/icons/hicolor/128x128/apps/kelvara.png"
for path in $window_expected; do
    grep -qxF "$path" "$work/window-files" || fail "kelvara-window lacks $path"
    ! grep -qxF "$path" "$work/files" || fail "kelvara holds the window's $path"
done
echo "files: $(grep -vc '/$' "$work/files") and $(grep -vc '/$' "$work/window-files")"

# Shared libraries found by dpkg-shlibdeps, and the SQLite driver loaded as a plugin. A headless
# server installing kelvara gets no GUI library, hence no desktop.
depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt5core5a libqt5websockets5 libqt5sql5-sqlite libcpp-httplib0.11 libsodium23 libprometheus-cpp-core1.0 \
    libjs-chart.js; do
    case "$depends" in *"$package"*) ;; *) fail "kelvara's Depends lacks $package: $depends" ;; esac
done
for package in libqt5gui5 libqt5widgets5 libgl libx11 systemd; do
    case "$depends" in *"$package"*) fail "kelvara depends on $package: $depends" ;; esac
done
window_depends=$(dpkg-deb -f "$window" Depends)
for package in "kelvara (= $version)" libqt5widgets5 libqt5gui5; do
    case "$window_depends" in *"$package"*) ;; *) fail "kelvara-window's Depends lacks $package: $window_depends" ;; esac
done
for package in "$deb" "$window"; do
    description=$(dpkg-deb -f "$package" Description)
    case "$description" in *";"*) fail "$(basename "$package"): the description holds a list separator: $description" ;; esac
done
echo "depends: kelvara without Qt Gui, kelvara-window on kelvara $version"

dpkg-deb -x "$deb" "$work/root"
dpkg-deb -x "$window" "$work/root"
said=$("$work/root/usr/bin/kelvara" --version) || fail "the packaged kelvara --version failed"
[ "$said" = "kelvara $version" ] || fail "the packaged kelvara --version said '$said'"
echo "packaged program: $said"
# Only the window module needs Qt's GUI libraries; the program itself runs without them.
if ldd "$work/root/usr/bin/kelvara" | grep -q libQt5Gui; then
    fail "the packaged kelvara links Qt Gui: $(ldd "$work/root/usr/bin/kelvara" | grep Qt5)"
fi
ldd "$work/root/usr/lib/kelvara/kelvara-window.so" | grep -q libQt5Widgets ||
    fail "the packaged window module does not link Qt Widgets"

# A short headless start of the packaged program: it runs, then stops on SIGTERM with exit 0.
mkdir "$work/state"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u JOURNAL_STREAM \
    "$work/root/usr/bin/kelvara" --headless --workdir "$work/state" 2>"$work/headless.log" &
headless=$!
tries=0
until grep -q "Running headless" "$work/headless.log"; do
    tries=$((tries + 1))
    kill -0 $headless 2>/dev/null && [ $tries -le 100 ] || {
        cat "$work/headless.log" >&2
        kill $headless 2>/dev/null || true
        fail "the packaged kelvara --headless did not start"
    }
    sleep 0.05
done
kill -TERM $headless
status=0
wait $headless || status=$?
[ $status -eq 0 ] || fail "the packaged kelvara --headless exited $status on SIGTERM"
grep -q "stopped" "$work/headless.log" || fail "the packaged kelvara --headless did not log that it stopped"
echo "packaged program: headless start and stop"

unit="$work/root/usr/lib/systemd/system/kelvara.service"
for line in "ExecStart=/usr/bin/kelvara --headless --workdir /var/lib/kelvara" "StateDirectory=kelvara" \
    "WorkingDirectory=/var/lib/kelvara" "DynamicUser=yes" 'ExecReload=/bin/kill -HUP $MAINPID' \
    "Restart=on-failure" "AmbientCapabilities=CAP_NET_BIND_SERVICE"; do
    grep -qxF "$line" "$unit" || fail "the unit lacks the line: $line"
done
if command -v systemd-analyze >/dev/null 2>&1; then
    # The unit as installed, but starting the extracted program, which verify looks for.
    mkdir "$work/unit"
    sed "s|^ExecStart=/usr/bin/|ExecStart=$work/root/usr/bin/|" "$unit" >"$work/unit/kelvara.service"
    # verify only warns about unknown keys: any output is a fault.
    systemd-analyze verify "$work/unit/kelvara.service" >"$work/verify.log" 2>&1 || true
    [ ! -s "$work/verify.log" ] || {
        cat "$work/verify.log" >&2
        fail "systemd-analyze verify found faults in the unit"
    }
    echo "unit: systemd-analyze verify found nothing"
else
    echo "NOTE: systemd-analyze not found (Debian package systemd): the unit's syntax was not verified"
fi
echo "PASS"
