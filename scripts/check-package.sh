#!/usr/bin/env bash
# check-package.sh [--system] [--keep DIR]
#
# Builds the Debian package from the working tree with `dpkg-buildpackage -us -uc -b`
# (in a scratch copy, so nothing is written beside the tree; the build runs the test
# suite), runs lintian on it (an error fails), unpacks it into a scratch root with
# dpkg -x and checks what it installs and that the installed programs work there.
#
# --system (root only) then tries it as a user would, on this machine: installs the
# .deb with apt-get into the running cupsd (starting the system cupsd when none runs,
# and stopping it afterwards), checks that `lpinfo -m` lists the two models with no
# restart, makes a queue with `lpadmin -m` whose device is a listener on the loopback,
# prints a PDF and checks with gdidecode what the "printer" received, then removes the
# queue and the package and checks that the models are gone. It refuses to run when
# the package is installed already (it would remove somebody's install).
#
# --keep DIR keeps the .deb and the build logs in DIR.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
package=printer-driver-rastertogdi
system=0
keep=""
while [ $# -gt 0 ]; do
  case $1 in
    --system) system=1 ;;
    --keep) keep=$2; shift ;;
    *) echo "usage: $0 [--system] [--keep DIR]" >&2; exit 2 ;;
  esac
  shift
done

"$top/scripts/deps.sh" package

work=$(mktemp -d "${TMPDIR:-/tmp}/gdi-package.XXXXXX")
cleanups=()
cleanup() {
  local i
  for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
source="$work/rastertogdi-$version"
mkdir "$source"
# The working tree as it is, without build folders and other ignored files.
if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$top" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf -) | tar -xf - -C "$source"
else
  (cd "$top" && tar --exclude='./build*' --exclude=./out --exclude=./.git -cf - .) |
    tar -xf - -C "$source"
fi

echo "== dpkg-buildpackage -us -uc -b (log: build.log) =="
start=$SECONDS
if ! (cd "$source" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
      dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1; then
  tail -n 60 "$work/build.log"
  fail "the package did not build"
fi
grep -E "tests passed|tests failed" "$work/build.log" || true
echo "built in $((SECONDS - start)) s: $(cd "$work" && ls ./*.deb)"
deb=$(ls "$work"/${package}_*.deb)
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  cp "$deb" "$work/build.log" "$keep/"
  cleanups+=("echo 'kept in $keep: $(basename "$deb") build.log'")
fi

echo "== lintian =="
changes=$(ls "$work"/rastertogdi_*.changes)
if ! lintian --fail-on error --display-info "$changes" | tee "$work/lintian.log"; then
  fail "lintian reports errors"
fi
echo "lintian: $(grep -c '^E:' "$work/lintian.log" || true) errors, $(grep -c '^W:' "$work/lintian.log" || true) warnings"

echo "== contents, unpacked into a scratch root =="
root="$work/root"
dpkg -x "$deb" "$root"
listing=$(dpkg-deb -c "$deb")
expect_entry() {  # MODE PATH: the entry is in the package, owned by root, with MODE
  echo "$listing" | grep -qE "^$1 root/root .* \./$2\$" || fail "no $1 root/root entry ./$2 in the package"
}
expect_entry -rwxr-xr-x usr/lib/cups/filter/rastertogdi
expect_entry -rwxr-xr-x usr/bin/gdidecode
expect_entry -rw-r--r-- usr/share/cups/drv/gdi-laser.drv
expect_entry -rw-r--r-- "usr/share/cups/ppd-updaters/$package.ppd-updater"
expect_entry -rw-r--r-- usr/share/man/man8/rastertogdi.8.gz
expect_entry -rw-r--r-- usr/share/man/man1/gdidecode.1.gz
expect_entry -rw-r--r-- "usr/share/doc/$package/README.md.gz"
expect_entry -rw-r--r-- "usr/share/doc/$package/copyright"
# The models come from the driver file alone: PPD files as well would list them twice.
if echo "$listing" | grep -qE '\./usr/share/ppd/|\./usr/local/|\.ppd$'; then
  fail "the package carries PPD files or files below /usr/local"
fi
echo "$listing" | awk '{print "  " $1, $6}' | grep -v '/$'

echo "== the installed files at work in the scratch root =="
"$root/usr/bin/gdidecode" --help | grep -q "Exit status" || fail "gdidecode --help"
for page in "$root"/usr/share/man/man*/*.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
done
mkdir "$work/ppd"
ppdc -d "$work/ppd" "$root/usr/share/cups/drv/gdi-laser.drv"
for model in gdilsr1.ppd gdilsr2.ppd; do
  cmp -s "$work/ppd/$model" "$top/ppd/$model" || fail "the package's drv makes another $model than ppd/$model"
done
cupstestppd -q -R "$root" "$work"/ppd/*.ppd || fail "cupstestppd with the packaged filter"
cupsfilter=$(command -v cupsfilter || echo /usr/sbin/cupsfilter)
if [ -x "$cupsfilter" ]; then
  TMPDIR="$work" "$cupsfilter" -p "$work/ppd/gdilsr1.ppd" -m application/vnd.cups-raster \
    "$top/tests/data/sample.pdf" >"$work/sample.ras" 2>/dev/null
  PPD="$work/ppd/gdilsr1.ppd" TMPDIR="$work" "$root/usr/lib/cups/filter/rastertogdi" \
    1 user sample 1 "" "$work/sample.ras" >"$work/sample.gdi" 2>"$work/filter.log" ||
    fail "the packaged filter failed: $(tail -n 5 "$work/filter.log")"
  "$root/usr/bin/gdidecode" -q -d "$work/pages" "$work/sample.gdi" || fail "gdidecode on the sample"
else
  echo "(no cupsfilter here: the packaged filter is not run on the sample)"
fi
echo "package contents OK"

[ "$system" = 1 ] || exit 0

echo "== apt install into the running cupsd, a queue, a job, apt remove =="
[ "$(id -u)" -eq 0 ] || fail "--system needs root"
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
  echo "SKIPPED: $package is installed already; not touching somebody's install"
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
if ! lpstat -r 2>/dev/null | grep -q "is running"; then
  /usr/sbin/cupsd -f &
  cupsd_pid=$!
  cleanups+=("kill $cupsd_pid; wait $cupsd_pid 2>/dev/null")
  for _ in $(seq 50); do lpstat -r 2>/dev/null | grep -q "is running" && break; sleep 0.2; done
  lpstat -r | grep -q "is running" || fail "cupsd did not start"
  echo "started cupsd (pid $cupsd_pid) for the check; stopped again at the end"
fi
cupsd_pids=$(pgrep -x cupsd | sort | tr '\n' ' ')
lpinfo -m | grep -q "gdi-laser.drv" && fail "lpinfo -m lists the models before the install"

cleanups+=("apt-get remove --purge -y -q $package >/dev/null 2>&1")
apt-get install -y -q --no-install-recommends "$deb" >"$work/apt-install.log" 2>&1 ||
  { tail -n 20 "$work/apt-install.log"; fail "apt-get install $deb"; }
echo "\$ apt-get install ./$(basename "$deb")"
grep -E "^(Setting up|Unpacking) $package" "$work/apt-install.log" | sed 's/^/  /'
echo "\$ lpinfo -m | grep gdi-laser"
lpinfo -m | grep "gdi-laser.drv" | sed 's/^/  /'
[ "$(lpinfo -m | grep -c '^drv:///gdi-laser.drv/gdilsr[12].ppd ')" = 2 ] ||
  fail "lpinfo -m does not list the two models"
[ "$(pgrep -x cupsd | sort | tr '\n' ' ')" = "$cupsd_pids" ] || fail "cupsd was restarted"

# The printer: a listener on the loopback that keeps what it is sent.
capture="$work/received.gdi"
python3 - "$capture" >"$work/port" <<'EOF' &
import socket, sys
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(1)
server.settimeout(180)
print(server.getsockname()[1], flush=True)
conn, _ = server.accept()
conn.settimeout(180)
with open(sys.argv[1], "wb") as out:
    while True:
        data = conn.recv(65536)
        if not data:
            break
        out.write(data)
conn.close()
EOF
listener=$!
cleanups+=("kill $listener 2>/dev/null")
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
queue="gdi-package-check-$$"
cleanups+=("lpadmin -x $queue 2>/dev/null")
echo "\$ lpadmin -p $queue -E -v socket://127.0.0.1:$port -m drv:///gdi-laser.drv/gdilsr1.ppd"
lpadmin -p "$queue" -E -v "socket://127.0.0.1:$port" -m drv:///gdi-laser.drv/gdilsr1.ppd
grep -q '^\*UIConstraints: \*InputSlot Manual \*Duplex' "/etc/cups/ppd/$queue.ppd" ||
  fail "the queue's PPD has no UIConstraints"
echo "\$ lp -d $queue -o Duplex=DuplexNoTumble tests/data/pages3.pdf"
lp -d "$queue" -o Duplex=DuplexNoTumble "$top/tests/data/pages3.pdf" | sed 's/^/  /'
for _ in $(seq 600); do kill -0 "$listener" 2>/dev/null || break; sleep 0.2; done
kill -0 "$listener" 2>/dev/null && fail "no job reached the printer within 120 s ($(lpstat -p "$queue"))"
echo "\$ gdidecode received.gdi"
/usr/bin/gdidecode -q -d "$work/received" "$capture" | sed 's/^/  /'
/usr/bin/gdidecode -q "$capture" | grep -q "4 page(s)" || fail "the printer did not get 4 pages"
lpadmin -x "$queue"

echo "\$ apt-get remove --purge $package"
apt-get remove --purge -y -q "$package" >"$work/apt-remove.log" 2>&1 ||
  { tail -n 20 "$work/apt-remove.log"; fail "apt-get remove"; }
grep -E "^(Removing|Purging)" "$work/apt-remove.log" | sed 's/^/  /'
lpinfo -m | grep -q "gdi-laser.drv" && fail "lpinfo -m still lists the models after the removal"
for path in /usr/lib/cups/filter/rastertogdi /usr/share/cups/drv/gdi-laser.drv /usr/bin/gdidecode; do
  [ ! -e "$path" ] || fail "$path is left after the removal"
done
echo "lpinfo -m lists no gdi-laser model any more; the package's files are gone"
echo "system install check OK"
