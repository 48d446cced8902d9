#!/usr/bin/env bash
# bench/http_vs_nginx.sh [build folder]
# The agent's HTTP file server against nginx, both on 127.0.0.1 serving the same folder,
# measured with wrk: small-file requests/s with "Connection: close" (goal: at least 0.8x
# nginx) and large-file throughput (goal: at least 1.0x nginx), each the median of rounds
# that alternate the two servers (BENCH_ROUNDS, default 3, of BENCH_SECONDS, default 5).
# nginx runs from a temporary configuration on a free port and is stopped at the end. Needs nginx and wrk
# (scripts/install-bench-deps); without them it says so and exits 0.
set -uo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
server="$build/bench/http_server_bench"
seconds=${BENCH_SECONDS:-5}
rounds=${BENCH_ROUNDS:-3}
threads=${BENCH_THREADS:-4}
small_conns=${BENCH_SMALL_CONNECTIONS:-64}
large_conns=${BENCH_LARGE_CONNECTIONS:-8}

nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
if [ ! -x "$server" ]; then echo "http_vs_nginx: $server not built; skipped"; exit 0; fi
if [ ! -x "$nginx_bin" ] || ! command -v wrk >/dev/null; then
  echo "http_vs_nginx: needs nginx and wrk (scripts/install-bench-deps); skipped"
  exit 0
fi

work=$(mktemp -d /tmp/kestyl-http-vs-nginx-XXXXXX)
agent_pid=""
nginx_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/data" "$work/nginx/logs"
chmod 755 "$work" "$work/data"  # nginx workers may run as another user
head -c 1024 /dev/urandom > "$work/data/small.bin"
head -c $((256 * 1024 * 1024)) /dev/urandom > "$work/data/large.bin"

# The agent's server.
"$server" "$work/data" "$top/common/db/schema.sql" > "$work/agent.out" 2> "$work/agent.err" &
agent_pid=$!
for _ in $(seq 100); do grep -q '^port ' "$work/agent.out" 2>/dev/null && break; sleep 0.05; done
agent_port=$(awk '/^port /{print $2}' "$work/agent.out")
if [ -z "$agent_port" ]; then echo "http_vs_nginx: the agent's server did not start"; cat "$work/agent.err"; exit 1; fi

# nginx with a configuration of its own.
nginx_port=$("$server" --free-port)
cat > "$work/nginx/nginx.conf" <<CONF
worker_processes auto;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  default_type application/octet-stream;
  client_body_temp_path $work/nginx/body;
  proxy_temp_path $work/nginx/proxy;
  fastcgi_temp_path $work/nginx/fastcgi;
  uwsgi_temp_path $work/nginx/uwsgi;
  scgi_temp_path $work/nginx/scgi;
  server {
    listen 127.0.0.1:$nginx_port;
    root $work/data;
  }
}
CONF
"$nginx_bin" -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' 2> "$work/nginx.err" &
nginx_pid=$!
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$nginx_port/small.bin" && break; sleep 0.05; done

# Both must hand out the same bytes before anything is measured.
for f in small.bin large.bin; do
  a=$(curl -s "http://127.0.0.1:$agent_port/%24DEFAULT%24/$f" | md5sum)
  n=$(curl -s "http://127.0.0.1:$nginx_port/$f" | md5sum)
  o=$(md5sum < "$work/data/$f")
  if [ "$a" != "$o" ] || [ "$n" != "$o" ]; then echo "http_vs_nginx: $f differs between the servers"; exit 1; fi
done

# wrk's figure: requests/s, or bytes/s from "Transfer/sec".
run_wrk() {  # url connections
  wrk -t"$threads" -c"$2" -d"${seconds}s" -H "Connection: close" "$1" 2>&1
}
rps() { awk '/^Requests\/sec:/{print $2}'; }
bytes_per_s() {
  awk '/^Transfer\/sec:/{v=$2; u=v; sub(/[0-9.]+/,"",u); sub(/[A-Za-z]+$/,"",v);
       m=1; if(u=="KB")m=1024; if(u=="MB")m=1024^2; if(u=="GB")m=1024^3; printf "%.0f\n", v*m}'
}
errors() { awk '/Socket errors|Non-2xx/{sub(/^ +/,""); printf "%s; ", $0}'; }

median() { sort -g | awk '{v[NR]=$1} END{if(NR==0)exit; print (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2)}'; }

# Each kind runs in rounds that alternate the two servers, so that a change in the machine's
# load during the run falls on both sides alike; the figure of each side is its median.
measure() {  # kind agent-url nginx-url connections figure-command
  local kind=$1 agent_url=$2 nginx_url=$3 conns=$4 figure=$5 r out_a out_n
  : > "$work/$kind.agent"; : > "$work/$kind.nginx"
  for r in $(seq "$rounds"); do
    out_a=$(run_wrk "$agent_url" "$conns"); $figure <<< "$out_a" >> "$work/$kind.agent"
    out_n=$(run_wrk "$nginx_url" "$conns"); $figure <<< "$out_n" >> "$work/$kind.nginx"
    echo "  round $r: agent $(tail -1 "$work/$kind.agent"), nginx $(tail -1 "$work/$kind.nginx")  $(errors <<< "$out_a")"
  done
}

echo "small file (1 KiB), ${small_conns} connections, Connection: close, ${rounds} rounds of ${seconds}s each"
measure small "http://127.0.0.1:$agent_port/%24DEFAULT%24/small.bin" "http://127.0.0.1:$nginx_port/small.bin" \
  "$small_conns" rps
a=$(median < "$work/small.agent"); n=$(median < "$work/small.nginx")
echo "  agent: ${a} requests/s (median)"
echo "  nginx: ${n} requests/s (median)"
awk -v a="$a" -v n="$n" 'BEGIN{r=a/n; printf "  ratio: %.2f (goal >= 0.80) %s\n", r, (r>=0.8?"met":"NOT met")}'
echo "RESULT http.small_ours_rps=$a"
echo "RESULT http.small_nginx_rps=$n"

echo "large file (256 MiB), ${large_conns} connections, ${rounds} rounds of ${seconds}s each"
measure large "http://127.0.0.1:$agent_port/%24DEFAULT%24/large.bin" "http://127.0.0.1:$nginx_port/large.bin" \
  "$large_conns" bytes_per_s
a=$(median < "$work/large.agent"); n=$(median < "$work/large.nginx")
awk -v a="$a" -v n="$n" 'BEGIN{printf "  agent: %.2f GB/s (median)\n  nginx: %.2f GB/s (median)\n", a/1e9, n/1e9;
  r=a/n; printf "  ratio: %.2f (goal >= 1.00) %s\n", r, (r>=1.0?"met":"NOT met")}'
awk -v a="$a" -v n="$n" 'BEGIN{printf "RESULT http.large_ours_gbs=%.3f\nRESULT http.large_nginx_gbs=%.3f\n", a/1e9, n/1e9}'
