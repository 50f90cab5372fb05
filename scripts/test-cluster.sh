#!/usr/bin/env bash
# kinovar batch under a real scheduler: a single-node SLURM (slurmctld and
# slurmd on this host, its own munge and slurm.conf in a temporary folder),
# then scripts/test-cluster.js submits, cancels and resubmits arrays in it.
# Runs as root (the daemons and the jobs); the daemons are stopped whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" != 0 ]; then
  echo "test:cluster: run it as root: slurmd starts each job as its user, and the packages may need installing" >&2
  exit 1
fi
if ! command -v slurmctld >/dev/null || ! command -v slurmd >/dev/null || ! command -v munged >/dev/null; then
  if ! command -v apt-get >/dev/null; then
    echo "test:cluster: slurmctld, slurmd and munged are missing; install SLURM and munge (Debian: slurm-wlm munge)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q slurm-wlm munge
fi

dir=$(mktemp -d /tmp/kinovar-cluster.XXXXXX)
# munged wants its socket's folders open to all for lookup.
chmod 755 "$dir"
mkdir "$dir/state" "$dir/spool"
pids=()
passed=0
stop() {
  if [ -n "${SLURM_CONF:-}" ]; then scancel --full --quiet --user=root 2>/dev/null || true; fi
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "$passed" = 1 ]; then
    rm -rf "$dir"
  else
    for log in slurmctld.log slurmd.log; do echo "--- $log (last lines)"; tail -n 20 "$dir/$log" 2>/dev/null || true; done
    echo "test:cluster: failed; its folder stays for a look: $dir" >&2
  fi
}
trap stop EXIT
trap 'exit 130' INT TERM

head -c 1024 /dev/urandom >"$dir/munge.key"
chmod 600 "$dir/munge.key"
munged -F --force --socket="$dir/munge.socket" --key-file="$dir/munge.key" --pid-file="$dir/munged.pid" \
  --seed-file="$dir/munge.seed" --log-file="$dir/munged.log" >"$dir/munged.out" 2>&1 &
pids+=($!)

host=$(hostname -s)
port=$((20000 + RANDOM % 20000))
cpus=$(nproc)
cat >"$dir/slurm.conf" <<EOF
ClusterName=kinovartest
SlurmctldHost=$host(127.0.0.1)
AuthType=auth/munge
AuthInfo=socket=$dir/munge.socket
CryptoType=crypto/munge
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$port
SlurmdPort=$((port + 1))
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
MpiDefault=none
ReturnToService=2
KillWait=5
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$((cpus * 2048)) State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
export SLURM_CONF="$dir/slurm.conf"

for _ in $(seq 50); do [ -S "$dir/munge.socket" ] && break; sleep 0.1; done
slurmctld -D -i -f "$SLURM_CONF" >"$dir/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D -f "$SLURM_CONF" >"$dir/slurmd.out" 2>&1 &
pids+=($!)
state=
for _ in $(seq 100); do
  state=$(sinfo -h -o %T 2>/dev/null || true)
  [ "$state" = idle ] && break
  sleep 0.3
done
if [ "$state" != idle ]; then echo "test:cluster: the SLURM node did not come up (state: ${state:-none})" >&2; exit 1; fi

node scripts/test-cluster.js "$dir"
passed=1
