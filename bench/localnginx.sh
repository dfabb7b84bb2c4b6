# Sourced: serves $work/www/snap.jpg (a random picture of $1 KiB) from a local nginx on a port
# the system picks, and sets url; the caller's cleanup kills $work/nginx.pid.
local_nginx() {
  mkdir -p "$work/www"
  head -c $(($1 * 1024)) /dev/urandom >"$work/www/snap.jpg"
  local port
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat >"$work/nginx.conf" <<CONF
$([ "$(id -u)" = 0 ] && echo "user root;")
worker_processes 1;
error_log stderr;
events { worker_connections 64; }
http { access_log off; server { listen 127.0.0.1:$port; root $work/www; } }
CONF
  nginx -p "$work" -c "$work/nginx.conf" -g "daemon off; pid $work/nginx.pid;" 2>"$work/nginx.log" &
  url=http://127.0.0.1:$port/snap.jpg
  for _ in $(seq 100); do curl -s -o /dev/null "$url" && break; sleep 0.05; done
}
