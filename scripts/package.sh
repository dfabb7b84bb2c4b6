#!/usr/bin/env bash
# Builds the two Debian packages, tessaly (the window) and tessaly-capture (the console program
# and its service), and checks them: file lists, dependencies, lintian, hardening-check, the
# desktop entry, the service unit and every unit text that README and the manual page show, and
# that a second build in another directory gives the same packages byte for byte. The build directory is the script's own (build-package
# unless named), configured afresh with explicit options, the prefix /usr and Debian's hardening
# flags, so no cached Debug or sanitizer configuration ever reaches a package.
#
# With CI=true or TESSALY_PACKAGE_INSTALL=1 it then installs both packages on this machine, runs
# both programs from PATH, purges them and checks that nothing of them is left. It never does
# so where a tessaly package is already installed: a contributor's own installation stays.
#
#   scripts/package.sh [dir]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$root/build-package"}

fail() {
  echo "package: $*" >&2
  exit 1
}

# Debian's flags, with every hardening feature (bindnow included); from the source tree, so that
# its path is mapped away in the debugging data.
cd "$root"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# Every time stamp in the packages (files, manual pages, archives) is the changelog's.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Timestamp)
export SOURCE_DATE_EPOCH

build_packages() {  # build_packages <dir>: the two .deb files in dir
  local dir=$1 cxxflags ldflags
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  # The build directory's path is mapped away too: it would reach the build id.
  cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS) -ffile-prefix-map=$dir=."
  ldflags=$(dpkg-buildflags --get LDFLAGS)
  # Debian 12's dpkg-buildflags predates the stack clash and branch protection that later
  # releases add, and that hardening-check asks for.
  if [[ $cxxflags != *-fcf-protection* ]] && [ "$(dpkg-architecture -qDEB_HOST_ARCH)" = amd64 ]; then
    cxxflags+=" -fstack-clash-protection -fcf-protection"
  fi
  # Stripped as Debian's own tools strip: the .comment and .note sections go as well.
  printf '#!/bin/sh\nexec strip --remove-section=.comment --remove-section=.note "$@"\n' >"$dir/strip"
  chmod +x "$dir/strip"
  rm -f "$dir/CMakeCache.txt"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" -DCMAKE_STRIP="$dir/strip" \
    -DTESSALY_TESTS=OFF -DTESSALY_BENCH=OFF -DTESSALY_ASAN=OFF -DTESSALY_TSAN=OFF \
    -DTESSALY_FUZZ=OFF \
    -DTESSALY_SYSTEMD_UNIT_DIR="$(pkg-config --variable=systemdsystemunitdir systemd)" \
    -DTESSALY_SYSUSERS_DIR="$(pkg-config --variable=sysusersdir systemd)" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  rm -f "$dir"/*.deb
  (cd "$dir" && cpack -G DEB >/dev/null)
  # Packed again by dpkg-deb, which sorts the files and takes the time stamps from
  # SOURCE_DATE_EPOCH; the files' own times are the changelog's as well.
  local deb tree
  for deb in "$dir"/*.deb; do
    tree=$(mktemp -d)
    dpkg-deb -R "$deb" "$tree/root"
    find "$tree/root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    dpkg-deb --root-owner-group -Zxz --build "$tree/root" "$deb" >/dev/null
    rm -rf "$tree"
  done
}
build_packages "$dir"
window=$(ls "$dir"/tessaly_*.deb)
capture=$(ls "$dir"/tessaly-capture_*.deb)

version=$(dpkg-parsechangelog -l "$root/packaging/changelog" -S Version)
for deb in "$window" "$capture"; do
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] ||
    fail "$deb is not version $version, the top entry of packaging/changelog"
  [ "$(dpkg-deb -f "$deb" Recommends)" = ca-certificates ] ||
    fail "$deb does not recommend ca-certificates"
done

unit_dir=$(pkg-config --variable=systemdsystemunitdir systemd)
sysusers_dir=$(pkg-config --variable=sysusersdir systemd)
expect_files() {  # expect_files <deb> <path>...
  local deb=$1 files expected
  shift
  expected=$(printf '%s\n' "$@" | sort)
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}' | sort)
  if [ "$files" != "$expected" ]; then
    diff <(echo "$expected") <(echo "$files") >&2 || true
    fail "$deb holds other files than expected (above: - missing, + unexpected)"
  fi
}
icons=()
for size in 32 48 64 128 256; do icons+=("/usr/share/icons/hicolor/${size}x$size/apps/tessaly.png"); done
expect_files "$window" /usr/bin/tessaly /usr/share/applications/tessaly.desktop "${icons[@]}" \
  /usr/share/doc/tessaly/changelog.Debian.gz /usr/share/doc/tessaly/copyright \
  /usr/share/man/man1/tessaly.1.gz
expect_files "$capture" /usr/bin/tessaly-capture "$unit_dir/tessaly-capture@.service" \
  "$unit_dir/tessaly-capture-cameras.service" "$unit_dir/tessaly-capture.target" \
  "$unit_dir/tessaly-timelapse@.service" "$unit_dir/tessaly-timelapse@.timer" \
  "$unit_dir/tessaly-timelapse-cameras.service" "$unit_dir/tessaly-timelapse-cameras.timer" \
  "$sysusers_dir/tessaly-capture.conf" /usr/share/doc/tessaly-capture/changelog.Debian.gz \
  /usr/share/doc/tessaly-capture/copyright /usr/share/doc/tessaly-capture/example.ini \
  /usr/share/man/man1/tessaly-capture.1.gz

# The earlier single package held /usr/bin/tessaly-capture: an upgrade must be allowed to take it.
for field in Breaks Replaces; do
  [ "$(dpkg-deb -f "$capture" "$field")" = "tessaly (<< 1.01-1)" ] ||
    fail "$capture does not declare $field: tessaly (<< 1.01-1)"
done

depends=$(dpkg-deb -f "$window" Depends)
for lib in libqt6widgets6 libssl3 libc6; do
  [[ $depends == *"$lib"* ]] || fail "$window does not declare $lib: Depends: $depends"
done
depends=$(dpkg-deb -f "$capture" Depends)
for lib in libssl3 libc6 libsqlite3-0 libavcodec libavformat libswscale; do
  [[ $depends == *"$lib"* ]] || fail "$capture does not declare $lib: Depends: $depends"
done
# A server without a display gets the console program without Qt, X or GL.
if grep -E -q -i 'qt|libx|libgl|libegl|libopengl|libwayland|libdrm|libvulkan|fontconfig' \
  <<<"$depends"; then
  fail "$capture depends on a display library: Depends: $depends"
fi

lintian_status=0
lintian --fail-on error,warning "$window" "$capture" >"$dir/lintian.txt" 2>&1 || lintian_status=$?
grep -v 'running with root' "$dir/lintian.txt" || true
[ "$lintian_status" = 0 ] || fail "lintian reports errors or warnings (above)"

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$window" "$unpacked"
dpkg-deb -x "$capture" "$unpacked"
# A program is marked for control flow protection only when all it links is; where the C
# library's start files are not (Debian 12), no program can be, and that check is left out.
skip=()
if ! readelf -n "$(g++ -print-file-name=Scrt1.o)" | grep -q IBT; then skip=(--nocfprotection); fi
binaries=("$unpacked/usr/bin/tessaly" "$unpacked/usr/bin/tessaly-capture")
hardening-check "${skip[@]}" "${binaries[@]}" >/dev/null ||
  hardening-check "${skip[@]}" --verbose "${binaries[@]}" ||
  fail "hardening-check finds a protection missing (above)"
desktop-file-validate "$unpacked/usr/share/applications/tessaly.desktop"
for program in tessaly tessaly-capture; do
  [ "$(env -u DISPLAY -u QT_QPA_PLATFORM "$unpacked/usr/bin/$program" --version)" = \
    "$program ${version%-*}" ] || fail "$program --version does not say ${version%-*}"
done

# The unit as shipped, but with the unpacked program and manual page, since verify checks
# that both exist; it needs no running systemd.
unit="$unpacked$unit_dir/tessaly-capture@.service"
grep -q '^ExecStart=/usr/bin/tessaly-capture ' "$unit" || fail "the unit does not start /usr/bin/tessaly-capture"
mkdir "$unpacked/verify"
sed "s|^ExecStart=/usr/bin/|ExecStart=$unpacked/usr/bin/|" "$unit" >"$unpacked/verify/tessaly-capture@.service"
cp "$unpacked$unit_dir/tessaly-capture.target" "$unpacked/verify/"
sed "s|^ExecStart=/usr/bin/|ExecStart=$unpacked/usr/bin/|" "$unpacked$unit_dir/tessaly-capture-cameras.service" \
  >"$unpacked/verify/tessaly-capture-cameras.service"
ln -s tessaly-capture@.service "$unpacked/verify/tessaly-capture@garden.service"
# The daily films' services and timers, an instance of each.
for film in tessaly-timelapse@ tessaly-timelapse-cameras; do
  sed "s|^ExecStart=/usr/bin/|ExecStart=$unpacked/usr/bin/|" "$unpacked$unit_dir/$film.service" \
    >"$unpacked/verify/$film.service"
  cp "$unpacked$unit_dir/$film.timer" "$unpacked/verify/"
done
ln -s tessaly-timelapse@.service "$unpacked/verify/tessaly-timelapse@garden.service"
ln -s tessaly-timelapse@.timer "$unpacked/verify/tessaly-timelapse@garden.timer"
# Every unit text the README and the manual page show (README's ```ini blocks, the page's
# .nf blocks that open with a section), each a drop-in of the instance.
dropins="$unpacked/verify/tessaly-capture@garden.service.d"
mkdir "$dropins"
awk -v out="$dropins/readme-" '/^```ini$/ {n++; on=1; next} /^```$/ {on=0} on {print > (out n ".conf")}' \
  "$root/README.md"
awk -v out="$dropins/manual-" '/^\.nf$/ {n++; on=1; first=1; next} /^\.fi$/ {on=0}
  on && first && !/^\[/ {on=0} on {first=0; print > (out n ".conf")}' "$root/packaging/tessaly-capture.h2m"
[ -n "$(ls "$dropins")" ] || fail "no unit text found in README.md or the manual page"
verified=$(MANPATH="$unpacked/usr/share/man" systemd-analyze verify \
  "$unpacked/verify/tessaly-capture@garden.service" "$unpacked/verify/tessaly-capture.target" \
  "$unpacked/verify/tessaly-capture-cameras.service" "$unpacked/verify/tessaly-timelapse@garden.service" \
  "$unpacked/verify/tessaly-timelapse@garden.timer" "$unpacked/verify/tessaly-timelapse-cameras.service" \
  "$unpacked/verify/tessaly-timelapse-cameras.timer" 2>&1) ||
  fail "systemd-analyze verify finds fault with the unit: $verified"
# A warning (an assignment outside any section, an unknown setting) does not fail verify.
[ -z "$verified" ] || fail "systemd-analyze verify warns about the unit or a documented drop-in: $verified"

# Every system call the program makes in a short series against a local server, with a status
# for the service manager and a watchdog, is one the unit's filter allows: a call outside it
# would fail in the service alone.
syscalls() {  # syscalls @group... -> the calls, one a line
  local name
  for name in "$@"; do
    systemd-analyze syscall-filter "$name" | sed -n '/^@/,$p' | tail -n +2 |
      awk '/^ +[@a-z]/ {print $1}' | while read -r name; do
      if [[ $name == @* ]]; then syscalls "$name"; else echo "$name"; fi
    done
  done
}
read -r -a groups <<<"$(sed -n 's/^SystemCallFilter=\([^~]\)/\1/p' "$unit" | tr '\n' ' ')"
allowed=$(syscalls "${groups[@]}" | sort -u)
read -r -a groups <<<"$(sed -n 's/^SystemCallFilter=~//p' "$unit" | tr '\n' ' ')"
denied=$(syscalls "${groups[@]}" | sort -u)
mkdir "$unpacked/www" "$unpacked/state" "$unpacked/pictures"
head -c 70000 /dev/urandom >"$unpacked/www/snap.jpg"
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$unpacked/www" >"$unpacked/www.log" 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null || true; rm -rf "$unpacked"' EXIT
for _ in $(seq 100); do
  port=$(sed -n 's/^Serving HTTP on .* port \([0-9]*\).*/\1/p' "$unpacked/www.log")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || fail "the local web server for the system call check did not start"
printf '%s\n' "http://127.0.0.1:$port/snap.jpg" 1 0 0 '' 1 >"$unpacked/series.ini"
# As the unit runs it: as a user of its own (as root the catalog's library hands its journal
# files to the database's owner, a call the service never makes), with the program's state (the
# catalog) and then the pictures as its state directories. Nobody listens at the notification
# socket: the program's calls to reach it are made all the same.
chmod 755 "$unpacked"
chown nobody "$unpacked/state" "$unpacked/pictures"
STATE_DIRECTORY="$unpacked/state:$unpacked/pictures" NOTIFY_SOCKET="$unpacked/notify" WATCHDOG_USEC=200000 \
  strace -u nobody -f -qq -o "$unpacked/trace" "$unpacked/usr/bin/tessaly-capture" --quiet --every 300ms \
  --count 3 --settings "$unpacked/series.ini" || fail "the series for the system call check failed"
kill "$server"
[ "$(find "$unpacked/pictures" -type f | wc -l)" = 3 ] ||
  fail "the series for the system call check did not store 3 pictures"
used=$(sed -n 's/^[0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$unpacked/trace" | sort -u)
outside=$( (comm -23 <(echo "$used") <(echo "$allowed"); comm -12 <(echo "$used") <(echo "$denied")) | sort -u)
[ -z "$outside" ] || fail "the unit's SystemCallFilter= forbids calls the program makes: ${outside//$'\n'/ }"

# Built again from the same sources in another directory: the same bytes. TESSALY_PACKAGE_ONCE=1
# leaves this second build out while one iterates (never in CI).
if [ "${TESSALY_PACKAGE_ONCE:-0}" = 1 ] && [ "${CI:-}" != true ]; then
  echo "packages ok (reproducibility not checked: TESSALY_PACKAGE_ONCE=1): $window $capture"
else
  again="$dir-again"
  build_packages "$again" >/dev/null
  for deb in "$window" "$capture"; do
    cmp "$deb" "$again/$(basename "$deb")" ||
      fail "$(basename "$deb") differs between two builds (diffoscope tells where)"
  done
  rm -rf "$again"
  echo "packages ok (and reproducible): $window $capture"
fi

if [ "${CI:-}" != true ] && [ "${TESSALY_PACKAGE_INSTALL:-0}" != 1 ]; then
  exit 0
fi
# Any state but "not installed" counts, removed packages with their configuration left included.
states=$(dpkg-query -W -f='${db:Status-Abbrev}\n' tessaly tessaly-capture 2>/dev/null || true)
if grep -q '^.[^n]' <<<"$states"; then
  echo "package: a tessaly package is installed here; not installing and purging the new ones"
  exit 0
fi
[ "$(id -u)" = 0 ] || fail "installing the packages needs root"
echo "== upgrade over the earlier single package, run and purge"
# A stand-in of the single package tessaly 1.01, which held both programs.
old="$unpacked/old"
mkdir -p "$old/DEBIAN" "$old/usr/bin"
printf '#!/bin/sh\necho old\n' >"$old/usr/bin/tessaly"
cp "$old/usr/bin/tessaly" "$old/usr/bin/tessaly-capture"
chmod 755 "$old/usr/bin/tessaly" "$old/usr/bin/tessaly-capture"
printf '%s\n' 'Package: tessaly' 'Version: 1.01' 'Architecture: all' \
  'Maintainer: Tessaly maintainers <maintainers@tessaly.example>' \
  'Description: earlier single package (stand-in)' >"$old/DEBIAN/control"
dpkg-deb --root-owner-group --build "$old" "$unpacked/tessaly_1.01_all.deb" >/dev/null
dpkg -i "$unpacked/tessaly_1.01_all.deb" >/dev/null
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$window" "$capture" >/dev/null ||
  fail "the packages do not install over the earlier single package tessaly 1.01"
[ "$(dpkg-query -S /usr/bin/tessaly-capture)" = "tessaly-capture: /usr/bin/tessaly-capture" ] ||
  fail "/usr/bin/tessaly-capture is not tessaly-capture's after the upgrade"
for program in tessaly tessaly-capture; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not /usr/bin/$program"
  [ "$(env -u DISPLAY -u QT_QPA_PLATFORM "$program" --version)" = "$program ${version%-*}" ] ||
    fail "the installed $program --version does not say ${version%-*}"
done
getent passwd _tessaly >/dev/null || fail "installing did not create the system user _tessaly"
systemd-analyze verify tessaly-capture@garden.service tessaly-capture-cameras.service ||
  fail "the installed units do not verify"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq tessaly tessaly-capture >/dev/null
left=$(dpkg-query -W -f='${db:Status-Abbrev}\n' tessaly tessaly-capture 2>/dev/null | grep -v '^un' || true)
[ -z "$left" ] || fail "dpkg still knows the packages after purging: $left"
for deb in "$window" "$capture"; do
  while read -r path; do
    if [ -e "$path" ] || [ -L "$path" ]; then fail "$path is left after purging"; fi
  done < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}')
done
for path in /etc/tessaly /var/lib/tessaly /usr/share/doc/tessaly /usr/share/doc/tessaly-capture; do
  [ ! -e "$path" ] || fail "$path is left after purging"
done
# The system user stays by design (see packaging/maintainer/postrm).
echo "installed, ran and purged both packages; nothing of them is left but the user _tessaly"
