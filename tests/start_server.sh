# Sourced by the shell tests that start a Velmord. A port that was free when
# probed may be taken before the server binds it, so the start tries another
# port then. The caller defines fail, and launch, which starts the server on
# $port in the background, sets server to its pid and writes its output to
# $server_log. Ports are picked below the kernel's ephemeral range (32768 on),
# where the other tests' servers and every outgoing connection take theirs.

port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

pick_port() {
  local candidate
  for _ in $(seq 1 50); do
    candidate=$((20000 + RANDOM % 12768))
    if port_free "$candidate"; then
      port=$candidate
      return 0
    fi
  done
  fail "no free port"
}

# Starts the server and waits (bounded: stub compiles take long on a busy
# machine) until it accepts connections.
start_server() {
  for _ in 1 2 3 4 5; do
    pick_port
    launch
    for _ in $(seq 1 1800); do
      kill -0 "$server" 2>/dev/null || break
      port_free "$port" || return 0
      sleep 0.1
    done
    if kill -0 "$server" 2>/dev/null; then fail "Velmord does not accept connections"; fi
    wait "$server" || true
    server=""
    grep -q "bind () call failed" "$server_log" || fail "Velmord ended at start-up"
  done
  fail "no port could be bound"
}

# Ends the server the way the service does, with SIGHUP to the server alone,
# and waits (bounded) for it; fails when it does not end or ends badly.
stop_server_with_sighup() {
  kill -HUP "$server"
  for _ in $(seq 1 300); do
    kill -0 "$server" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$server" 2>/dev/null; then fail "Velmord did not end on SIGHUP"; fi
  wait "$server" || fail "Velmord's exit status after SIGHUP"
}

# For the tests that serve the repository's samples, whose definition files
# name the libraries of build/: any other tree skips (exit 77).
require_repository_build() {
  [ "$(cd "$2" && pwd -P)" = "$(cd "$1/build" 2>/dev/null && pwd -P)" ] ||
    { echo "not the tree build/ of the repository: skipped"; exit 77; }
}

# A temporary directory of the test's own (log_dir, server_log in it); at the
# exit the server's process group is killed and the directory removed.
server_test_frame() {
  log_dir=$(mktemp -d "${TMPDIR:-/tmp}/velmor-$1-XXXXXX")
  server_log=$log_dir/server.out
  server=""
  trap end_server_test EXIT
}
end_server_test() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then kill -KILL -- "-$server" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$log_dir"
}
