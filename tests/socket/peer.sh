#!/bin/sh
# Starts or stops the loopback peer of the socket tests (peer.py) in DIR:
#   peer.sh start DIR   starts it, writes its pid to DIR/socket_peer.pid and
#                       waits until DIR/socket_peer.txt names its ports
#   peer.sh stop DIR    ends that process by its pid
set -eu
action=$1
dir=$2
here=$(cd "$(dirname "$0")" && pwd)
pidfile="$dir/socket_peer.pid"
info="$dir/socket_peer.txt"
case "$action" in
  start)
    mkdir -p "$dir"
    rm -f "$info"
    python=$(command -v python3) || { echo "peer.sh: python3 is missing" >&2; exit 1; }
    "$python" "$here/peer.py" "$info" </dev/null >"$dir/socket_peer.log" 2>&1 &
    echo $! >"$pidfile"
    tries=0
    while [ ! -s "$info" ]; do
      tries=$((tries + 1))
      if [ $tries -gt 100 ] || ! kill -0 "$(cat "$pidfile")" 2>/dev/null; then
        echo "peer.sh: the peer did not start" >&2
        cat "$dir/socket_peer.log" >&2 || true
        exit 1
      fi
      sleep 0.1
    done
    cat "$info" ;;
  stop)
    if [ -s "$pidfile" ]; then
      kill "$(cat "$pidfile")" 2>/dev/null || true
    fi
    rm -f "$pidfile" "$info" ;;
  *)
    echo "usage: peer.sh start|stop DIR" >&2; exit 2 ;;
esac
