# Sourced by the demo and the bench scripts: a messaging location of their own (server
# configuration, certificate authority, keys) listening on a private loopback port.
#   corvex_free_port                  prints a TCP port nothing listens on (20000-59999)
#   corvex_messaging_init NATS DIR PORT [corvex-nats init options...]
#                                     makes DIR afresh for 127.0.0.1:PORT, loopback only
#   corvex_wait_listening PORT [TRIES] waits until something listens on 127.0.0.1:PORT (0.1 s a try)
corvex_free_port() {
  local port
  while :; do
    port=$((20000 + RANDOM % 40000))
    ss -Hltn "sport = :$port" 2>/dev/null | grep -q . || { echo "$port"; return; }
  done
}

corvex_messaging_init() {
  local nats=$1 dir=$2 port=$3
  shift 3
  rm -rf "$dir"
  "$nats" init "$dir" --host 127.0.0.1 --listen 127.0.0.1 --port "$port" "$@" >/dev/null
}

corvex_wait_listening() {
  local port=$1 tries=${2:-100}
  for _ in $(seq 1 "$tries"); do
    ss -Hltn "src 127.0.0.1 and sport = :$port" 2>/dev/null | grep -q . && return 0
    sleep 0.1
  done
  return 1
}
