# The rows of tests/systemd/run.sh: README's service steps under a real systemd, in order (each
# builds on the ones before). Columns: name, unit, its state after the step (ActiveState/SubState),
# a line its journal must show (extended regular expression), the command (bash, inside, with
# tests/systemd/lib.sh). A row marked --after reload waits for the program's reload.
# shellcheck shell=bash disable=SC2016
snap=http://127.0.0.1:8080/snap.jpg
g=tessaly-capture@garden
cams=tessaly-capture-cameras

# The cameras: a web server with a picture, and one that accepts and never answers.
step 'a camera' camera.service active/running - \
  'install -d /srv/www && ffmpeg -loglevel error -f lavfi -i color=c=green:s=64x48 -frames:v 1 /srv/www/snap.jpg &&
   systemd-run -q --unit=camera python3 -m http.server 8080 --bind 127.0.0.1 --directory /srv/www &&
   wait_until 10 curl -sf -o /dev/null '"$snap"
step 'a silent camera' silent.service active/running - \
  'systemd-run -q --unit=silent python3 -c "import socket; s = socket.create_server((\"127.0.0.1\", 8081)); c = [s.accept() for _ in range(1000)]" &&
   wait_until 10 bash -c "exec 3<>/dev/tcp/127.0.0.1/8081"'

# README: apt install, a settings file readable by root alone, enable --now.
step 'install' tessaly-capture.target inactive/dead - \
  'apt_get install --no-install-recommends /var/tmp/tessaly-test/tessaly-capture_*.deb &&
   getent passwd _tessaly >/dev/null && [ "$(systemctl is-enabled tessaly-capture.target)" = disabled ]'
step 'start (enable --now)' $g active/running "Started $g.service - Tessaly picture series garden" \
  'settings garden '"$snap"' && systemctl enable --now '$g' && [ "$(prop '$g' ActiveState)" = active ] &&
   [ "$(systemctl is-enabled '$g')" = enabled ]'
step 'readiness: started once ready, watchdog armed' $g active/running - \
  '[ "$(prop '$g' Type)" = notify ] && [ "$(prop '$g' WatchdogUSec)" = 1min ] &&
   wait_until 10 at_least 2 /var/lib/tessaly/garden'
step 'the status line names the last picture' $g active/running - \
  'wait_until 5 bash -c "systemctl show -P StatusText '$g' | grep -q \"last stored /var/lib/tessaly/garden/snap_\""; prop '$g' StatusText'
step 'a wrong address fails, at warning priority, and stores nothing' tessaly-capture@door inactive/dead 'failed HTTP 404' \
  'settings door http://127.0.0.1:8080/nothere.jpg && systemctl start tessaly-capture@door && sleep 2.5 &&
   [ "$(pictures /var/lib/tessaly/door)" = 0 ] && prop tessaly-capture@door StatusText | grep -q fail &&
   journalctl -u tessaly-capture@door -o json --after-cursor="$STEP_CURSOR" _COMM=tessaly-capture |
     python3 -c "import json, sys
lines = [json.loads(l) for l in sys.stdin]
fails = [l for l in lines if \"failed\" in l[\"MESSAGE\"]]
assert fails and all(l[\"PRIORITY\"] == \"4\" for l in fails), lines
assert all(int(l[\"PRIORITY\"]) >= 4 for l in lines), lines
print(len(fails), \"failures at priority 4\")" && systemctl stop tessaly-capture@door'
step 'the watchdog ends a hung series' tessaly-capture@dog activating/auto-restart \
  'ended \(watchdog, .*\): systemd starts it again in 2 minutes' \
  'settings dog '"$snap"' && mkdir -p /etc/systemd/system/tessaly-capture@dog.service.d &&
   printf "[Service]\nWatchdogSec=2s\n" >/etc/systemd/system/tessaly-capture@dog.service.d/watchdog.conf &&
   systemctl daemon-reload && systemctl start tessaly-capture@dog && sleep 2.5 &&
   systemctl kill -s SIGSTOP tessaly-capture@dog && wait_until 15 journalctl -u tessaly-capture@dog --after-cursor="$STEP_CURSOR" -g "Watchdog timeout"'
step 'stop time' $g inactive/dead "Stopped $g.service" \
  'systemctl stop tessaly-capture@dog; t=$(ms systemctl stop '$g'); echo "$t ms"; [ "$t" -lt 2000 ] &&
   [ "$(prop '$g' Result)" = success ]'
step 'ten restarts of an instance in a minute leave it running' $g active/running - \
  'for _ in $(seq 10); do systemctl restart '$g'; done;
   ! journalctl -u '$g' --after-cursor="$STEP_CURSOR" | grep -i "start-limit\|too often"'
step 'ten restarts of the target in a minute leave it running' $g active/running - \
  'systemctl start tessaly-capture.target && for _ in $(seq 10); do systemctl restart tessaly-capture.target; done;
   [ "$(prop '$g' NRestarts)" = 0 ] && ! journalctl --after-cursor="$STEP_CURSOR" | grep -i "start-limit\|too often" &&
   [ "$(prop tessaly-capture.target ActiveState)" = active ]'
step 'a mistyped instance fails its start, naming the file, and is not retried' tessaly-capture@ghost inactive/dead \
  'Assertion failed for tessaly-capture@ghost.service - .*/etc/tessaly/ghost.ini' \
  'if systemctl enable --now tessaly-capture@ghost 2>/dev/null; then fail "enable --now succeeded"; fi;
   status tessaly-capture@ghost | grep -F "AssertPathExists=/etc/tessaly/ghost.ini was not met" &&
   no_restart_for tessaly-capture@ghost 3 && systemctl disable -q tessaly-capture@ghost'

# README: a directory of one's own, owned by _tessaly, made writable by a drop-in.
step 'a directory of its own (install -d, a drop-in)' tessaly-capture@yard active/running - \
  'settings yard '"$snap"' /srv/yard && install -d -o _tessaly -g _tessaly -m 750 /srv/yard &&
   mkdir -p /etc/systemd/system/tessaly-capture@yard.service.d &&
   printf "[Service]\nReadWritePaths=/srv/yard\n" >/etc/systemd/system/tessaly-capture@yard.service.d/override.conf &&
   systemctl daemon-reload && systemctl start tessaly-capture@yard && wait_until 10 at_least 1 /srv/yard &&
   if [ -e /var/lib/tessaly/yard ]; then fail "an empty /var/lib/tessaly/yard was made"; fi'
# The refusals: each says why, ends with status 2 and is not restarted.
step 'refused: a directory under /home (ProtectHome=)' tessaly-capture@home failed/failed \
  'directory /home/pictures cannot be reached by the service: .*ProtectHome=' \
  'install -d -o _tessaly /home/pictures && settings home '"$snap"' /home/pictures &&
   if systemctl start tessaly-capture@home 2>/dev/null; then fail "it started"; fi; no_restart_for tessaly-capture@home 3'
step 'refused: a read-only directory' tessaly-capture@ro failed/failed \
  'cannot write to directory /srv/ro: Read-only file system .*ReadWritePaths=' \
  'install -d -o _tessaly /srv/ro && settings ro '"$snap"' /srv/ro &&
   if systemctl start tessaly-capture@ro 2>/dev/null; then fail "it started"; fi; no_restart_for tessaly-capture@ro 3'
step 'refused: a directory it may not write (permission)' tessaly-capture@perm failed/failed \
  'cannot write to directory /srv/perm: Permission denied .*must own the directory' \
  'install -d -m 755 /srv/perm && settings perm '"$snap"' /srv/perm &&
   mkdir -p /etc/systemd/system/tessaly-capture@perm.service.d &&
   printf "[Service]\nReadWritePaths=/srv/perm\n" >/etc/systemd/system/tessaly-capture@perm.service.d/override.conf &&
   systemctl daemon-reload && if systemctl start tessaly-capture@perm 2>/dev/null; then fail "it started"; fi;
   no_restart_for tessaly-capture@perm 3'
step 'a directory not there yet: tried again in minutes, and says so' tessaly-capture@later activating/auto-restart \
  'systemd starts it again in 2 minutes' \
  'settings later '"$snap"' /srv/later && if systemctl start tessaly-capture@later 2>/dev/null; then fail "it started"; fi;
   no_restart_for tessaly-capture@later 3; status tessaly-capture@later | grep -q "activating (auto-restart)"'

# README: the cameras service, here with a silent camera beside a good one.
step 'the cameras service with a silent camera' $cams active/running - \
  'systemctl stop tessaly-capture@later; install -d -m 750 -g _tessaly /etc/tessaly/cameras &&
   camera gate '"$snap"' && camera hush http://127.0.0.1:8081/snap.jpg && systemctl enable --now '$cams' &&
   wait_until 10 at_least 2 /var/lib/tessaly/cameras/gate &&
   wait_until 5 bash -c "systemctl show -P StatusText '$cams' | grep -q \"^2 cameras: 2 running\""'
step 'one camera follows in the journal' $cams active/running '^gate ' \
  'mv /srv/www/snap.jpg /srv/www/away.jpg && sleep 2 && mv /srv/www/away.jpg /srv/www/snap.jpg'
step 'its stop with a fetch in flight ends in success' $cams inactive/dead "Stopped $cams.service" \
  't=$(ms systemctl stop '$cams'); echo "$t ms"; [ "$t" -lt 2000 ] && [ "$(prop '$cams' Result)" = success ]'
step --after reload 'a camera that cannot start: the stop still ends in success' $cams inactive/dead "Stopped $cams.service" \
  'camera bad '"$snap"' && printf "%s\n" '"$snap"' 1 0 0 /home/nowhere 1 >/etc/tessaly/cameras/bad &&
   systemctl start '$cams' && sleep 2 && prop '$cams' StatusText | grep "failing (bad)" &&
   systemctl stop '$cams' && [ "$(prop '$cams' Result)" = success ] && ! systemctl is-failed -q '$cams' &&
   rm /etc/tessaly/cameras/bad'

# Reload: systemctl reload re-reads the settings, the process stays.
step 'reload without the settings file fails, naming it, and the series goes on' $g active/running \
  "cannot stat '/etc/tessaly/garden.ini'" \
  'pid=$(prop '$g' MainPID) && mv /etc/tessaly/garden.ini /etc/tessaly/garden.ini.away &&
   if systemctl reload '$g' 2>/dev/null; then fail "the reload succeeded"; fi;
   mv /etc/tessaly/garden.ini.away /etc/tessaly/garden.ini && [ "$(prop '$g' MainPID)" = "$pid" ]'
step --after reload 'reload an instance: its next tick takes the new address' $g active/running - \
  'pid=$(prop '$g' MainPID) && cp /srv/www/snap.jpg /srv/www/other.jpg && settings garden http://127.0.0.1:8080/other.jpg &&
   systemctl reload '$g' && wait_until 10 bash -c "ls /var/lib/tessaly/garden | grep -q ^other_" &&
   [ "$(prop '$g' MainPID)" = "$pid" ] && settings garden '"$snap"' && systemctl reload '$g''
step --after reload 'reload the cameras service: an added camera starts' $cams active/running - \
  'systemctl start '$cams' && pid=$(prop '$cams' MainPID) && camera porch '"$snap"' && systemctl reload '$cams' &&
   wait_until 10 at_least 1 /var/lib/tessaly/cameras/porch && [ "$(prop '$cams' MainPID)" = "$pid" ] &&
   wait_until 5 bash -c "systemctl show -P StatusText '$cams' | grep -q \"^3 cameras\""'
step --after reload 'reload the cameras service: a removed camera stops' $cams active/running - \
  'rm /etc/tessaly/cameras/porch && systemctl reload '$cams' && sleep 2 && n=$(pictures /var/lib/tessaly/cameras/porch) &&
   sleep 2 && [ "$(pictures /var/lib/tessaly/cameras/porch)" = "$n" ] &&
   wait_until 5 bash -c "systemctl show -P StatusText '$cams' | grep -q \"^2 cameras\""'
step --after reload 'reload with a bad file keeps what runs' $cams active/running - \
  'pid=$(prop '$cams' MainPID) && install -m 600 /dev/null /etc/tessaly/cameras/locked && systemctl reload '$cams' &&
   sleep 2 && [ "$(prop '$cams' MainPID)" = "$pid" ] && n=$(pictures /var/lib/tessaly/cameras/gate) && sleep 2 &&
   [ "$(pictures /var/lib/tessaly/cameras/gate)" -gt "$n" ] && rm /etc/tessaly/cameras/locked'
step --after reload 'a pause is a journal line under --quiet' tessaly-capture@night active/running 'paused until' \
  'settings night '"$snap"' && h=$(date -d "+2 hours" +%H) && printf "OPTIONS=--between %s:00-%s:30\n" "$h" "$h" >/etc/tessaly/night.env &&
   systemctl start tessaly-capture@night'

# The clock watcher hears every setting of the wall clock, even one to the value it held (the
# machine's clock, moved back by microseconds: only here, as root).
step --after capture-tests 'setting the clock to its own value is reported within a second' - - - \
  'TESSALY_SET_CLOCK=1 '"${capture_tests:-}"' --gtest_filter="ClockSetTest.*" --gtest_brief=1 | grep -q "PASSED.* 1 test"'

# README: the daily films. A day of pictures with yesterday's times, taken into the catalog
# as README's --adopt does; the film of yesterday is made once, the second start passes it.
reel=/var/lib/tessaly/reel
film='snap-$(date -d yesterday +%F).mp4'
adopt() {  # the pictures of DIR as _tessaly's catalog has them, stored yesterday at 0N:00
  echo 'install -d -o _tessaly -g _tessaly -m 750 '"$1"' && for i in '"$2"'; do
     ffmpeg -loglevel error -y -f lavfi -i testsrc=s=320x180 -frames:v 1 '"$1"'/snap_0000000$i.jpg &&
     touch -d "yesterday 0$i:00" '"$1"'/snap_0000000$i.jpg; done && chown _tessaly: '"$1"'/*.jpg &&
   runuser -u _tessaly -- env STATE_DIRECTORY=/var/lib/tessaly tessaly-capture --adopt '"$1"' '"$snap"' |
     grep "adopted $(echo '"$2"' | wc -w) pictures"'
}
step 'the daily film of yesterday' tessaly-timelapse@reel inactive/dead \
  "made $reel/snap-[0-9-]+\.mp4: 5 frames of 5 pictures" \
  "$(adopt $reel "1 2 3 4 5")"' && systemctl start tessaly-timelapse@reel &&
   [ "$(ffprobe -v error -count_frames -show_entries stream=nb_read_frames -of csv=p=0 '$reel/"$film"')" = 5 ] &&
   [ "$(prop tessaly-timelapse@reel Result)" = success ]'
step 'a second start makes nothing new' tessaly-timelapse@reel inactive/dead "already made $reel/snap-" \
  'before=$(stat -c %i.%Y '$reel/"$film"') && systemctl start tessaly-timelapse@reel &&
   [ "$(stat -c %i.%Y '$reel/"$film"')" = "$before" ] && [ "$(ls -A '$reel' | grep -c mp4)" = 1 ]'
step 'the timer waits for the next night, persistent' tessaly-timelapse@reel.timer active/waiting - \
  'systemctl enable --now tessaly-timelapse@reel.timer && [ "$(prop tessaly-timelapse@reel.timer Persistent)" = yes ] &&
   systemctl list-timers --no-pager tessaly-timelapse@reel.timer |
     grep -E "^[A-Z][a-z]{2} [0-9-]+ 00:(1[5-9]|2[0-9]|30):.* tessaly-timelapse@reel.timer +tessaly-timelapse@reel.service"'
step "the cameras' daily films, a camera without pictures passed" tessaly-timelapse-cameras inactive/dead \
  "no picture of the series snap.jpg of /var/lib/tessaly/cameras/gate in that time" \
  "$(adopt /var/lib/tessaly/cameras/reel "1 2 3")"' && systemctl enable --now tessaly-timelapse-cameras.timer &&
   systemctl start tessaly-timelapse-cameras && [ "$(prop tessaly-timelapse-cameras Result)" = success ] &&
   journalctl -u tessaly-timelapse-cameras --after-cursor="$STEP_CURSOR" |
     grep "made /var/lib/tessaly/cameras/reel/snap-.*: 3 frames of 3 pictures" &&
   [ "$(prop tessaly-timelapse-cameras.timer ActiveState)" = active ]'

# README: an upgrade (a newer build) and a reinstall restart whatever ran the old program.
step 'upgrade: the instance and the cameras service run the new program' $cams active/running - \
  'systemctl start '$cams' && a=$(prop '$g' MainPID) && b=$(prop '$cams' MainPID) &&
   apt_get install --no-install-recommends /var/tmp/tessaly-test/next/*.deb &&
   [ "$(prop '$g' MainPID)" != "$a" ] && [ "$(prop '$cams' MainPID)" != "$b" ] &&
   [ "$(main_exe '$g')" = /usr/bin/tessaly-capture ] && [ "$(main_exe '$cams')" = /usr/bin/tessaly-capture ]'
step 'reinstall: the same' $g active/running - \
  'a=$(prop '$g' MainPID) && b=$(prop '$cams' MainPID) && dpkg -i /var/tmp/tessaly-test/next/*.deb >/dev/null &&
   [ "$(prop '$g' MainPID)" != "$a" ] && [ "$(prop '$cams' MainPID)" != "$b" ] &&
   [ "$(main_exe '$g')" = /usr/bin/tessaly-capture ] && [ "$(main_exe '$cams')" = /usr/bin/tessaly-capture ]'
# README: remove stops every series; purge leaves no link behind.
step 'remove stops every series, the cameras service too' $cams inactive/dead - \
  'apt_get remove tessaly-capture &&
   if pgrep -x tessaly-capture; then fail "a series still runs"; fi; systemctl daemon-reload; sleep 2;
   if journalctl --after-cursor="$STEP_CURSOR" | grep "reception is disabled"; then fail "notifications of a removed unit"; fi'
step 'purge leaves no link and no unit behind' - - - \
  'apt_get purge tessaly-capture &&
   links=$(find /etc/systemd/system -name "tessaly-*" -type l) && [ -z "$links" ] || fail "left: $links";
   wants=$(systemctl show -P Wants multi-user.target timers.target | tr " " "\n" | grep tessaly) && fail "still wanted: $wants";
   [ -d /etc/tessaly ] && [ -d /var/lib/tessaly/garden ]'
