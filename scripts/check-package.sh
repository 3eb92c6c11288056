#!/usr/bin/env bash
# check-package.sh [--system] [--keep DIR]
#
# Builds the Debian packages from the working tree with `dpkg-buildpackage -us -uc -b`
# (in a scratch copy, so nothing is written beside the tree; the build runs the test
# suite): printer-driver-rastertogdi (the CUPS filter) and gdi-printer-app (the printer
# application). Runs lintian on both (an error fails), unpacks them into a scratch root
# with dpkg -x and checks what each installs, that no file is in both, that only the
# printer application depends on PAPPL, and that the installed programs work there.
#
# --system (root only) then tries them as a user would, on this machine: installs both
# .debs with apt-get into the running cupsd (starting the system cupsd when none runs,
# and stopping it afterwards), checks that `lpinfo -m` lists the two models with no
# restart, makes a queue with `lpadmin -m` whose device is a listener on the loopback,
# prints a PDF and checks with gdidecode what the "printer" received. Then the printer
# application: the install neither enabled nor started its service; the program is
# started as the unit starts it (as its own user, its own spool folder), but on a free loopback
# port, gets a printer whose device is a listener, and a driverless cupsd queue
# (`lpadmin -m everywhere`) prints a PDF through it; it is shut down again. Last, both
# packages are purged, which must leave none of their files, no service state and no
# spool folder behind. It refuses to run when either package is installed already (it
# would remove somebody's install) and does not start the application while another
# root server of it runs.
#
# --keep DIR keeps the .debs and the build logs in DIR (the build log also when the
# build fails).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
package=printer-driver-rastertogdi
app=gdi-printer-app
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
# Whether standard input has a line that matches (grep options and pattern as
# arguments). It reads the input to its end: `producer | grep -q` may end the producer
# by SIGPIPE at the first match, which pipefail turns into a failed pipeline.
contains() {
  local input
  input=$(cat)
  grep -q "$@" <<<"$input"
}

# The printer application's servers that the build's tests run as root leave PAPPL's
# local socket in /run behind them (PAPPL does not remove it at exit); it goes again at
# the end, unless it was there before or a root server of the application still runs.
app_socket=/run/gdi-printer-app.sock
if [ "$(id -u)" -eq 0 ] && [ ! -e "$app_socket" ]; then
  cleanups+=("[ -n \"\$(pgrep -x -u 0 gdi-printer-app)\" ] || rm -f $app_socket")
fi

version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
source="$work/rastertogdi-$version"
mkdir "$source"
# The working tree as it is, without build folders and other ignored files.
"$top/scripts/copy-tree.sh" "$source"

echo "== dpkg-buildpackage -us -uc -b (log: build.log) =="
start=$SECONDS
if ! (cd "$source" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
      dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1; then
  [ -z "$keep" ] || { mkdir -p "$keep" && cp "$work/build.log" "$keep/"; }
  # The failing tests' own messages (ctest --verbose puts each test's number in front).
  grep -E -A 40 "^[0-9]+: (FAILED:|\[  FAILED  \])" "$work/build.log" | head -n 200 || true
  tail -n 60 "$work/build.log"
  fail "the package did not build"
fi
grep -E "tests passed|tests failed" "$work/build.log" || true
# The script tests (cupsd, printer application) that skipped here, and why.
grep -E "^[0-9]+: SKIPPED" "$work/build.log" | sed 's/^/  /' || true
echo "built in $((SECONDS - start)) s: $(cd "$work" && ls ./*.deb | tr '\n' ' ')"
deb=$(ls "$work"/${package}_*.deb)
app_deb=$(ls "$work"/${app}_*.deb)
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  cp "$deb" "$app_deb" "$work/build.log" "$keep/"
  cleanups+=("echo 'kept in $keep: $(basename "$deb") $(basename "$app_deb") build.log'")
fi

echo "== lintian =="
changes=$(ls "$work"/rastertogdi_*.changes)
if ! lintian --fail-on error --display-info "$changes" | tee "$work/lintian.log"; then
  fail "lintian reports errors"
fi
for p in "$package" "$app"; do
  echo "lintian $p: $(grep -c "^E: $p[: ]" "$work/lintian.log" || true) errors," \
    "$(grep -c "^W: $p[: ]" "$work/lintian.log" || true) warnings"
done

echo "== contents, unpacked into a scratch root =="
root="$work/root"
dpkg -x "$deb" "$root"
dpkg -x "$app_deb" "$root"
listing=$(dpkg-deb -c "$deb")
app_listing=$(dpkg-deb -c "$app_deb")
expect_entry() {  # MODE PATH: the entry is in the package, owned by root, with MODE
  echo "$listing" | contains -E "^$1 root/root .* \./$2\$" || fail "no $1 root/root entry ./$2 in the package"
}
expect_app_entry() {  # MODE PATH: the same for the printer application's package
  echo "$app_listing" | contains -E "^$1 root/root .* \./$2\$" || fail "no $1 root/root entry ./$2 in $app"
}
files_of() { awk '$1 !~ /^d/ {print $6}' | sort; }
expect_entry -rwxr-xr-x usr/lib/cups/filter/rastertogdi
expect_entry -rwxr-xr-x usr/bin/gdidecode
expect_entry -rw-r--r-- usr/share/cups/drv/gdi-laser.drv
for lang in de fr es it ja; do expect_entry -rw-r--r-- "usr/share/cups/drv/gdi-laser-$lang.po"; done
expect_entry -rw-r--r-- "usr/share/cups/ppd-updaters/$package.ppd-updater"
expect_entry -rw-r--r-- usr/share/man/man8/rastertogdi.8.gz
expect_entry -rw-r--r-- usr/share/man/man1/gdidecode.1.gz
expect_entry -rw-r--r-- "usr/share/doc/$package/README.md"
expect_entry -rw-r--r-- "usr/share/doc/$package/copyright"
# The models come from the driver file alone: PPD files as well would list them twice.
if echo "$listing" | contains -E '\./usr/share/ppd/|\./usr/local/|\.ppd$'; then
  fail "the package carries PPD files or files below /usr/local"
fi
echo "$listing" | awk '{print "  " $1, $6}' | grep -v '/$'

expect_app_entry -rwxr-xr-x usr/sbin/gdi-printer-app
expect_app_entry -rw-r--r-- lib/systemd/system/gdi-printer-app.service
expect_app_entry -rw-r--r-- usr/share/man/man8/gdi-printer-app.8.gz
expect_app_entry -rw-r--r-- etc/pam.d/gdi-printer-app
expect_app_entry -rw-r--r-- usr/share/doc/$app/README.md
expect_app_entry -rw-r--r-- usr/share/doc/$app/copyright
# dh_missing --fail-missing saw that every installed file went into a package; none is in
# both (they could not be installed together), and each package has its own half.
both=$(comm -12 <(echo "$listing" | files_of) <(echo "$app_listing" | files_of))
[ -z "$both" ] || fail "files in both packages: $both"
if echo "$listing" | contains -E 'gdi-printer-app|systemd'; then
  fail "$package carries the printer application"
fi
if echo "$app_listing" | contains -E 'cups/filter|cups/drv|gdidecode|ppd'; then
  fail "$app carries the CUPS driver"
fi
dpkg-deb -f "$deb" Depends | contains pappl && fail "$package depends on PAPPL"
dpkg-deb -f "$app_deb" Depends | contains 'libpappl1' || fail "$app does not depend on libpappl1"
for recommended in ghostscript avahi-daemon; do
  dpkg-deb -f "$app_deb" Recommends | contains -w "$recommended" || fail "$app does not recommend $recommended"
done
echo "$app_listing" | awk '{print "  " $1, $6}' | grep -v '/$'
for field in Depends Recommends Suggests; do
  echo "  $app $field: $(dpkg-deb -f "$app_deb" "$field")"
done

echo "== the installed files at work in the scratch root =="
"$root/usr/bin/gdidecode" --help | contains "Exit status" || fail "gdidecode --help"
unit="$root/lib/systemd/system/gdi-printer-app.service"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[ "${exec_start%% *}" = /usr/sbin/gdi-printer-app ] || fail "the unit starts ${exec_start%% *}"
grep -qx "WantedBy=multi-user.target" "$unit" || fail "the unit has no WantedBy=multi-user.target"
# The service as shipped: its own user, the loopback only, and systemd's judgement of its
# sandbox (exposure from 0, safest, to 10; 2 or less is what the unit is made for).
grep -qx "User=gdi-printer-app" "$unit" || fail "the unit does not run as gdi-printer-app"
echo "$exec_start" | contains -- "-o listen-hostname=localhost" || fail "the unit listens beyond the loopback"
echo "\$ systemd-analyze security --offline=yes gdi-printer-app.service"
analysis=$(systemd-analyze security --offline=yes --no-pager "$unit" 2>&1) ||
  fail "systemd-analyze security: $analysis"
echo "$analysis" | grep "✗" | sed 's/^/  /' || true
exposure=$(echo "$analysis" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
echo "  overall exposure: $exposure"
[ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' ||
  fail "the unit's exposure is $exposure, more than 2.0"
app_bin="$root/usr/sbin/gdi-printer-app"
"$app_bin" --help >"$work/app-help.txt" 2>&1 || fail "gdi-printer-app --help: $(cat "$work/app-help.txt")"
grep -q "server" "$work/app-help.txt" || fail "gdi-printer-app --help names no server sub-command"
# The drivers sub-command makes the system without starting a server; its spool folder
# is given, so that a run as root makes none in /var/spool.
HOME="$work" "$app_bin" drivers -o spool-directory="$work/app-spool" >"$work/app-drivers.txt" 2>&1 ||
  fail "gdi-printer-app drivers: $(cat "$work/app-drivers.txt")"
for driver in gdi_laser_1 gdi_laser_2; do
  grep -q "^$driver " "$work/app-drivers.txt" || fail "gdi-printer-app drivers does not list $driver"
done
echo "\$ gdi-printer-app drivers"
sed 's/^/  /' "$work/app-drivers.txt"
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

echo "== apt install into the running cupsd, a queue, a job =="
[ "$(id -u)" -eq 0 ] || fail "--system needs root"
for p in "$package" "$app"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  if [ -n "$status" ] && [ "$status" != not-installed ]; then
    echo "SKIPPED: $p is on this system already ($status); not touching somebody's install"
    exit 0
  fi
done
export DEBIAN_FRONTEND=noninteractive
if ! lpstat -r 2>/dev/null | contains "is running"; then
  /usr/sbin/cupsd -f &
  cupsd_pid=$!
  cleanups+=("kill $cupsd_pid; wait $cupsd_pid 2>/dev/null")
  for _ in $(seq 50); do lpstat -r 2>/dev/null | contains "is running" && break; sleep 0.2; done
  lpstat -r | contains "is running" || fail "cupsd did not start"
  echo "started cupsd (pid $cupsd_pid) for the check; stopped again at the end"
fi
cupsd_pids=$(pgrep -x cupsd | sort | tr '\n' ' ')
lpinfo -m | contains "gdi-laser.drv" && fail "lpinfo -m lists the models before the install"

# The system server's data, which the purge removes: what another install left there is
# put aside for the check and back afterwards (after the purge: cleanups run backwards).
app_data=(/var/lib/gdi-printer-app.state /var/spool/gdi-printer-app)
mkdir "$work/app-data-before"
for path in "${app_data[@]}"; do
  if [ -e "$path" ]; then
    mv "$path" "$work/app-data-before/"
    cleanups+=("rm -rf $path; mv $work/app-data-before/$(basename "$path") $path")
    echo "(put $path aside for the check; back at the end)"
  fi
done

cleanups+=("apt-get remove --purge -y -q $package $app >/dev/null 2>&1")
apt-get install -y -q --no-install-recommends "$deb" "$app_deb" >"$work/apt-install.log" 2>&1 ||
  { tail -n 20 "$work/apt-install.log"; fail "apt-get install $deb $app_deb"; }
# Packages the install brought in besides the two go again at the end.
brought=$(sed -n '/^The following NEW packages will be installed:/,/^[^ ]/{/^  /p}' "$work/apt-install.log" |
  tr ' ' '\n' | grep -vxE "|$package|$app" | tr '\n' ' ' || true)
if [ -n "$brought" ]; then
  cleanups+=("apt-get remove --purge -y -q $brought >/dev/null 2>&1")
  echo "(the install brought in $brought; purged again at the end)"
fi
echo "\$ apt-get install ./$(basename "$deb") ./$(basename "$app_deb")"
grep -E "^(Setting up|Unpacking) ($package|$app)" "$work/apt-install.log" | sed 's/^/  /'
echo "\$ lpinfo -m | grep gdi-laser"
lpinfo -m | grep "gdi-laser.drv" | sed 's/^/  /'
[ "$(lpinfo -m | grep -c '^drv:///gdi-laser.drv/gdilsr[12].ppd ')" = 2 ] ||
  fail "lpinfo -m does not list the two models"
[ "$(pgrep -x cupsd | sort | tr '\n' ' ')" = "$cupsd_pids" ] || fail "cupsd was restarted"

# A printer: a listener on the loopback that keeps what the first connection with data
# sends (a device check may connect and send nothing). Sets listener and listener_port.
start_listener() {  # CAPTURE
  python3 - "$1" >"$1.port" <<'EOF' &
import socket, sys
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(4)
server.settimeout(180)
print(server.getsockname()[1], flush=True)
while True:
    conn, _ = server.accept()
    conn.settimeout(180)
    data = []
    while True:
        chunk = conn.recv(65536)
        if not chunk:
            break
        data.append(chunk)
    conn.close()
    if data:
        with open(sys.argv[1], "wb") as out:
            out.write(b"".join(data))
        break
EOF
  listener=$!
  cleanups+=("kill $listener 2>/dev/null")
  for _ in $(seq 50); do [ -s "$1.port" ] && break; sleep 0.1; done
  listener_port=$(cat "$1.port")
  [ -n "$listener_port" ] || fail "the listener did not start"
}
wait_for_listener() {  # WHAT: the listener got a job and ended, within 120 s
  for _ in $(seq 600); do kill -0 "$listener" 2>/dev/null || break; sleep 0.2; done
  kill -0 "$listener" 2>/dev/null && fail "no job reached the printer within 120 s ($1)"
  wait "$listener" 2>/dev/null || true
}

wait_for_queue() {  # QUEUE: cupsd has made its PPD (-m everywhere does so after lpadmin) and it is idle
  for _ in $(seq 300); do
    lpoptions -p "$1" -l 2>/dev/null | grep -q . && lpstat -p "$1" 2>/dev/null | grep -q ' is idle\.' &&
      return 0
    sleep 0.2
  done
  fail "the queue $1 is not ready within 60 s: $(lpstat -p "$1" 2>&1)"
}

capture="$work/received.gdi"
start_listener "$capture"
queue="gdi-package-check-$$"
cleanups+=("lpadmin -x $queue 2>/dev/null")
echo "\$ lpadmin -p $queue -E -v socket://127.0.0.1:$listener_port -m drv:///gdi-laser.drv/gdilsr1.ppd"
lpadmin -p "$queue" -E -v "socket://127.0.0.1:$listener_port" -m drv:///gdi-laser.drv/gdilsr1.ppd
grep -q '^\*UIConstraints: \*InputSlot Manual \*Duplex' "/etc/cups/ppd/$queue.ppd" ||
  fail "the queue's PPD has no UIConstraints"
echo "\$ lp -d $queue -o Duplex=DuplexNoTumble tests/data/pages3.pdf"
lp -d "$queue" -o Duplex=DuplexNoTumble "$top/tests/data/pages3.pdf" | sed 's/^/  /'
wait_for_listener "$(lpstat -p "$queue")"
echo "\$ gdidecode received.gdi"
/usr/bin/gdidecode -q -d "$work/received" "$capture" | sed 's/^/  /'
/usr/bin/gdidecode -q "$capture" | contains "4 page(s)" || fail "the printer did not get 4 pages"
lpadmin -x "$queue"

echo "== the printer application: not enabled, run as its unit runs it, a driverless queue, a job =="
app_pids() {  # the processes of the packaged program
  local pid
  for pid in $(pgrep -x gdi-printer-app || true); do
    [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = /usr/sbin/gdi-printer-app ] && echo "$pid"
  done
  return 0
}
echo "\$ systemctl is-enabled gdi-printer-app.service"
enabled=$(systemctl is-enabled gdi-printer-app.service 2>&1 || true)
echo "  $enabled"
[ "$enabled" = disabled ] || fail "the install left the service $enabled, not disabled"
if ls /etc/systemd/system/*.wants/gdi-printer-app.service >/dev/null 2>&1; then
  fail "the install enabled the service"
fi
[ -z "$(app_pids)" ] || fail "the install started the printer application"
if [ -n "$(pgrep -x -u 0 gdi-printer-app || true)" ]; then
  # It would be the system server, with the same spool folder and control socket.
  echo "SKIPPED: a root server of gdi-printer-app runs on this machine; the packaged one is not run"
else
  # The unit's command line, on a free loopback port instead of port 8000 on every address.
  read -r -a unit_args <<<"$(sed -n 's/^ExecStart=//p' /lib/systemd/system/gdi-printer-app.service)"
  app_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  run_args=()
  for arg in "${unit_args[@]}"; do
    case $arg in
      server-port=*) run_args+=("server-port=$app_port") ;;
      *) run_args+=("$arg") ;;
    esac
  done
  [ "${run_args[*]}" != "${unit_args[*]}" ] || fail "the unit's command line sets no server-port"
  run_args+=(-o listen-hostname=127.0.0.1)
  # As the unit's user, with its groups (systemd would drop to them).
  run_args=(setpriv --reuid=gdi-printer-app --regid=gdi-printer-app --init-groups
    --no-new-privs "${run_args[@]}")
  system_uri="ipp://127.0.0.1:$app_port/ipp/system"
  start_app() {
    "${run_args[@]}" >>"$work/app.log" 2>&1 &
    app_pid=$!
    cleanups+=("kill $app_pid 2>/dev/null; wait $app_pid 2>/dev/null")
    for _ in $(seq 100); do
      /usr/sbin/gdi-printer-app status -u "$system_uri" >/dev/null 2>&1 && return 0
      kill -0 "$app_pid" 2>/dev/null || break
      sleep 0.1
    done
    fail "the packaged gdi-printer-app did not answer at $system_uri: $(tail -n 20 "$work/app.log")"
  }
  stop_app() {  # SIGTERM, as systemd stops the service
    kill -TERM "$app_pid"
    local rc=0
    wait "$app_pid" || rc=$?
    [ "$rc" = 0 ] || fail "gdi-printer-app exited with $rc: $(tail -n 20 "$work/app.log")"
  }
  echo "\$ ${run_args[*]} &"
  start_app
  app_capture="$work/received-app.gdi"
  start_listener "$app_capture"
  echo "\$ gdi-printer-app add -u $system_uri -d laser -m gdi_laser_1 -v socket://127.0.0.1:$listener_port"
  /usr/sbin/gdi-printer-app add -u "$system_uri" -d laser -m gdi_laser_1 -v "socket://127.0.0.1:$listener_port" ||
    fail "gdi-printer-app add: $(tail -n 20 "$work/app.log")"
  stop_app
  # The printer is kept where the unit's server keeps it, and is there after a restart.
  state=/var/spool/gdi-printer-app/gdi-printer-app.state
  [ -s "$state" ] || fail "the server kept no state in $state"
  [ "$(stat -c %U "$state")" = gdi-printer-app ] || fail "$state is not the service user's"
  echo "\$ (restarted) gdi-printer-app status -u ipp://127.0.0.1:$app_port/ipp/print/laser"
  start_app
  /usr/sbin/gdi-printer-app status -u "ipp://127.0.0.1:$app_port/ipp/print/laser" | sed 's/^/  /' ||
    fail "the printer is gone after a restart"
  app_queue="gdi-package-app-$$"
  cleanups+=("lpadmin -x $app_queue 2>/dev/null")
  echo "\$ lpadmin -p $app_queue -E -v ipp://127.0.0.1:$app_port/ipp/print/laser -m everywhere"
  lpadmin -p "$app_queue" -E -v "ipp://127.0.0.1:$app_port/ipp/print/laser" -m everywhere
  echo "\$ until lpoptions -p $app_queue -l | grep -q . && lpstat -p $app_queue | grep -q ' is idle'; do sleep 1; done"
  wait_for_queue "$app_queue"
  echo "\$ lp -d $app_queue -o sides=two-sided-long-edge tests/data/pages3.pdf"
  lp -d "$app_queue" -o sides=two-sided-long-edge "$top/tests/data/pages3.pdf" | sed 's/^/  /'
  wait_for_listener "$(lpstat -p "$app_queue"; tail -n 20 "$work/app.log")"
  echo "\$ gdidecode received-app.gdi"
  /usr/bin/gdidecode -q -d "$work/received-app" "$app_capture" | sed 's/^/  /'
  /usr/bin/gdidecode -q "$app_capture" | contains "4 page(s)" ||
    fail "the printer did not get 4 pages through the printer application"
  lpadmin -x "$app_queue"
  stop_app
  [ -z "$(app_pids)" ] || fail "a packaged gdi-printer-app still runs"
  echo "the packaged gdi-printer-app printed through a driverless queue and stopped again"
fi

echo "== apt remove --purge =="
echo "\$ apt-get remove --purge $package $app"
apt-get remove --purge -y -q "$package" "$app" >"$work/apt-remove.log" 2>&1 ||
  { tail -n 20 "$work/apt-remove.log"; fail "apt-get remove"; }
grep -E "^(Removing|Purging)" "$work/apt-remove.log" | sed 's/^/  /'
lpinfo -m | contains "gdi-laser.drv" && fail "lpinfo -m still lists the models after the removal"
for path in /usr/lib/cups/filter/rastertogdi /usr/share/cups/drv/gdi-laser.drv /usr/bin/gdidecode \
            /usr/sbin/gdi-printer-app /lib/systemd/system/gdi-printer-app.service "${app_data[@]}" \
            /var/lib/systemd/deb-systemd-helper-enabled/gdi-printer-app.service.dsh-also \
            /var/lib/systemd/deb-systemd-helper-masked/gdi-printer-app.service; do
  [ ! -e "$path" ] || fail "$path is left after the purge"
done
echo "lpinfo -m lists no gdi-laser model any more; the packages' files, the service's state" \
  "and the application's spool folder and saved printers are gone"
echo "system install check OK"
