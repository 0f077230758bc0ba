#!/usr/bin/env bash
# Builds the tree and runs the server against the simulated peers on 127.0.0.1:
# the Elavon gateway (elavon-sim, HTTPS) and the configuration service (rvcs-sim,
# TLS), both with a test CA made here. The server keeps its key container, profile
# and logs under run/ and listens for POS clients on KVR_CLIENT_PORT (default 9000).
# Without a display it runs on Qt's offscreen platform. Once it listens, one sale
# goes through the POS client and its reply is printed. Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset default >/dev/null
cmake --build --preset default --target kvr-elavon-host elavon-sim rvcs-sim pos-client

root="$PWD"
run="$root/run"
mkdir -p "$run/home" "$run/work" "$run/certs"
bin="$root/build/default"

cleanup() {
  # The server first (it closes as File, Exit would), then the peers.
  if [ -n "${server_pid:-}" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  [ -n "${sim_pid:-}" ] && kill "$sim_pid" 2>/dev/null || true
  [ -n "${rvcs_pid:-}" ] && kill "$rvcs_pid" 2>/dev/null || true
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

elavon_port="${KVR_SIM_ELAVON_PORT:-19443}"
rvcs_port="${KVR_SIM_RVCS_PORT:-19444}"
"$bin/tools/elavon-sim/elavon-sim" --make-certs-only --certs "$run/certs" >/dev/null
"$bin/tools/elavon-sim/elavon-sim" --certs "$run/certs" --port "$elavon_port" --quiet &
sim_pid=$!
# Four lanes, so several POS clients may connect at once.
"$bin/tools/rvcs-sim/rvcs-sim" --certs "$run/certs" --port "$rvcs_port" --set 19=4 --quiet &
rvcs_pid=$!
up() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for _ in $(seq 1 100); do
  up "$elavon_port" && up "$rvcs_port" && break
  sleep 0.1
done
up "$elavon_port" && up "$rvcs_port" || { echo "the simulated peers did not start" >&2; exit 1; }

export KVR_HOME="$run/home"
export KVR_ELAVON_GATEWAY="127.0.0.1:$elavon_port"
export KVR_RVCS_PRIMARY="127.0.0.1:$rvcs_port"
export KVR_RVCS_SECONDARY="$KVR_RVCS_PRIMARY"
export SSL_CERT_FILE="$run/certs/ca.pem"
export KVR_CLIENT_PORT="${KVR_CLIENT_PORT:-9000}"
args=()
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
  args+=("/started_as_service")
fi
sale=(TStream=Transaction ClientID=0005 MerchantID=1234 InvoiceNo=INV1 RefNo=REF1 TranType=Credit
      TranCode=Sale Track2=4111111111111111=2512101 Purchase=10.00)
echo "gateway $KVR_ELAVON_GATEWAY, configuration service $KVR_RVCS_PRIMARY, POS port $KVR_CLIENT_PORT"
cd "$run/work"
"$bin/app/shell/kvr-elavon-host" "${args[@]}" &
server_pid=$!
# The server listens once its interfaces run (after the parameter download).
for _ in $(seq 1 600); do
  up "$KVR_CLIENT_PORT" && break
  kill -0 "$server_pid" 2>/dev/null || { echo "the server ended; see $run/work/QUILLON_LOGS" >&2; exit 1; }
  sleep 0.1
done
up "$KVR_CLIENT_PORT" || { echo "the server does not listen on $KVR_CLIENT_PORT" >&2; exit 1; }
echo "one sale through the POS client:"
"$bin/tools/pos-client/pos-client" session --marker M --wait 40 "${sale[@]}" ||
  echo "the sale was not approved (pos-client exit status $?; see pos-client --help)" >&2
echo
echo "the server runs (logs in $run/work/QUILLON_LOGS); send your own requests from another terminal:"
echo "  $bin/tools/pos-client/pos-client session --marker M ${sale[*]}"
echo "stop it with Ctrl-C"
wait "$server_pid" || true
server_pid=""
