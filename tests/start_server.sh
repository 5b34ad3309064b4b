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
