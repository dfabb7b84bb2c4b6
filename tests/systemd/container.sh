# shellcheck shell=bash
# A real systemd (PID 1) in namespaces of its own, on an overlay of this machine's root: sourced
# by tests/systemd/run.sh. container_boot starts it, container_run runs a command inside,
# container_stop ends it. Needs root and util-linux's unshare and nsenter.
#
# What it has not: the memory and pids controllers (cgroup2 here has none), so MemoryMax= and
# TasksMax= are accepted but not enforced; and no network but the loopback.

container_dir=
container_pid=
container_host=

# The part that runs inside the new namespaces, as their PID 1, then becomes systemd.
container_inner() {  # container_inner <dir>
  local dir=$1 root
  root=$dir/root
  mount --make-rprivate /
  mount -t tmpfs -o mode=755 tmpfs "$dir"
  mkdir "$dir/upper" "$dir/work" "$root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$dir/upper,workdir=$dir/work" "$root"
  mount -t proc proc "$root/proc"
  mount -t sysfs -o ro sysfs "$root/sys"
  mount -t cgroup2 cgroup2 "$root/sys/fs/cgroup"
  mount -t tmpfs -o mode=755,nosuid tmpfs "$root/dev"
  local node
  for node in null zero full random urandom tty; do
    touch "$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node"
  done
  mkdir "$root/dev/pts" "$root/dev/shm" "$root/dev/mqueue"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/dev/shm"
  mount -t mqueue mqueue "$root/dev/mqueue"
  ln -s /proc/self/fd "$root/dev/fd"
  ln -s /proc/self/fd/0 "$root/dev/stdin"
  ln -s /proc/self/fd/1 "$root/dev/stdout"
  ln -s /proc/self/fd/2 "$root/dev/stderr"
  mount -t tmpfs -o mode=755,nosuid,nodev tmpfs "$root/run"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/tmp"

  # The machine's own services and timers stay off; the image's policy-rc.d (which refuses
  # every service action) is not there; dpkg's database is a copy of its own.
  local link name
  for link in "$root"/etc/systemd/system/*.wants/* "$root"/lib/systemd/system/*.timer; do
    name=$(basename "$link")
    case $name in
    *.service | *.timer) ;;
    *) continue ;;
    esac
    case $name in
    systemd-journald* | systemd-tmpfiles* | systemd-sysusers* | getty* | systemd-logind*) continue ;;
    esac
    [[ $name == *@.* ]] && continue
    ln -sf /dev/null "$root/etc/systemd/system/$name"
  done
  for name in getty@tty1.service console-getty.service systemd-timesyncd.service \
    systemd-pstore.service postgresql.service e2scrub_reap.service; do
    ln -sf /dev/null "$root/etc/systemd/system/$name"
  done
  rm -f "$root/usr/sbin/policy-rc.d"
  rm -rf "$root/var/lib/dpkg"
  cp -a /var/lib/dpkg "$root/var/lib/dpkg"
  rm -f "$root/var/lib/dpkg/lock" "$root/var/lib/dpkg/lock-frontend"
  echo tessaly-test >"$root/etc/hostname"
  : >"$root/etc/machine-id"

  cd "$root" || exit 1
  mkdir -p .oldroot
  pivot_root . .oldroot
  umount -l /.oldroot
  rmdir /.oldroot
  # Without a shared root no LoadCredential= file reaches a service.
  mount --make-rshared /
  exec env -i container=other /lib/systemd/systemd --system --unit=multi-user.target
}

container_boot() {  # container_boot <dir>: dir (empty or new) holds the container's upper layer
  container_dir=$1
  mkdir -p "$container_dir"
  unshare --pid --fork --mount --uts --ipc --net --cgroup --propagation private \
    bash -c "$(declare -f container_inner); container_inner '$container_dir'" \
    </dev/null >"$container_dir.console" 2>&1 &
  container_host=$!
  local _
  for _ in $(seq 100); do
    container_pid=$(awk '{print $1}' "/proc/$container_host/task/$container_host/children" 2>/dev/null)
    [ -n "$container_pid" ] && [ "$(readlink "/proc/$container_pid/exe" 2>/dev/null)" = /usr/lib/systemd/systemd ] && break
    sleep 0.1
  done
  [ -n "$container_pid" ] || { cat "$container_dir.console" >&2; return 1; }
  # Booted when systemd answers and its start-up jobs are done.
  local state
  for _ in $(seq 300); do
    state=$(container_run systemctl is-system-running 2>/dev/null) || true
    case $state in
    running | degraded) return 0 ;;
    esac
    sleep 0.1
  done
  echo "systemd in the container did not finish booting: ${state:-no answer}" >&2
  container_run systemctl list-jobs >&2 || true
  return 1
}

container_run() {  # container_run <command>...: the command inside, as root, in its namespaces
  nsenter -t "$container_pid" -m -u -i -n -p -C -r -w env -i \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    SYSTEMD_PAGER= SYSTEMD_COLORS=0 "$@"
}

container_stop() {
  [ -n "$container_host" ] || return 0
  container_run systemctl poweroff --no-block >/dev/null 2>&1 || true
  local _
  for _ in $(seq 50); do
    kill -0 "$container_host" 2>/dev/null || break
    sleep 0.1
  done
  # PID 1 of the namespace: its end ends every process inside.
  if kill -0 "$container_host" 2>/dev/null; then kill -KILL "$container_pid" 2>/dev/null || true; fi
  wait "$container_host" 2>/dev/null || true
  container_host=
}
