#!/usr/bin/env bash
# A one-node SLURM cluster on localhost for trying the workflow's SLURM
# profile: munged, slurmctld and slurmd with their key, configuration, state
# and logs in DIR, on two free ports. Needs root and the packages of
# scripts/deps.sh --cluster.
#   scripts/local-slurm.sh start DIR   then: export SLURM_CONF=DIR/slurm.conf
#   scripts/local-slurm.sh stop DIR    cancels its jobs and stops its daemons
# Nothing outside DIR is touched, and only the daemons started from DIR
# are stopped.
set -euo pipefail
[ $# = 2 ] || { echo "usage: scripts/local-slurm.sh start|stop DIR" >&2; exit 2; }
action=$1
dir=$(realpath -m "$2")
export PATH=$PATH:/usr/sbin:/sbin
export SLURM_CONF=$dir/slurm.conf

stop() {
  [ -f "$SLURM_CONF" ] || return 0
  squeue -h -o %i 2>/dev/null | xargs -r scancel 2>/dev/null || true
  local pids=()
  for d in slurmd slurmctld munged; do
    [ -s "$dir/$d.pid" ] && pids+=("$(cat "$dir/$d.pid")")
  done
  [ ${#pids[@]} -eq 0 ] && return 0
  kill "${pids[@]}" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "${pids[@]}" 2>/dev/null || return 0
    sleep 0.2
  done
  echo "local-slurm: daemons ${pids[*]} still running" >&2
  return 1
}

start() {
  mkdir -p "$dir/state" "$dir/spool"
  chmod 755 "$dir"
  local ports mem
  ports=$(python3 -c 'import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
  # RealMemory above what the machine has would drain the node.
  mem=$(awk '/^MemTotal/ {print int($2 / 1024 * 0.8)}' /proc/meminfo)
  head -c 1024 /dev/urandom >"$dir/munge.key"
  chmod 600 "$dir/munge.key"
  cat >"$SLURM_CONF" <<END
ClusterName=lodestarlocal
SlurmctldHost=$(hostname -s)(127.0.0.1)
SlurmctldPort=${ports% *}
SlurmdPort=${ports#* }
SlurmUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge.sock
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
JobCompType=jobcomp/filetxt
JobCompLoc=$dir/jobcomp.txt
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
MpiDefault=none
ReturnToService=2
MinJobAge=600
NodeName=node0 NodeAddr=127.0.0.1 CPUs=$(nproc) RealMemory=$mem State=UNKNOWN
PartitionName=main Nodes=node0 Default=YES MaxTime=INFINITE State=UP
END
  munged -f --socket="$dir/munge.sock" --key-file="$dir/munge.key" --log-file="$dir/munged.log" \
    --pid-file="$dir/munged.pid" --seed-file="$dir/munged.seed"
  slurmctld -c -f "$SLURM_CONF"
  slurmd -f "$SLURM_CONF" -N node0
  for _ in $(seq 60); do
    [ "$(sinfo -h -n node0 -o %T 2>/dev/null)" = idle ] && return 0
    sleep 0.5
  done
  echo "local-slurm: node0 is not idle: $(sinfo -h -n node0 -o '%T %E' 2>&1)" >&2
  return 1
}

case "$action" in
  start)
    [ "$(id -u)" = 0 ] || { echo "local-slurm: the SLURM daemons need root" >&2; exit 1; }
    for tool in munged slurmctld slurmd sinfo squeue scancel; do
      command -v "$tool" >/dev/null || { echo "local-slurm: $tool is not installed (scripts/deps.sh --cluster)" >&2; exit 1; }
    done
    for d in munged slurmctld slurmd; do
      if [ -s "$dir/$d.pid" ] && kill -0 "$(cat "$dir/$d.pid")" 2>/dev/null; then
        echo "local-slurm: $dir already runs a cluster; stop it first" >&2
        exit 1
      fi
    done
    start || { stop; exit 1; } ;;
  stop) stop ;;
  *) echo "usage: scripts/local-slurm.sh start|stop DIR" >&2; exit 2 ;;
esac
