#!/bin/sh
# A one-node Slurm cluster of a test's own in DIR: its own munge key and socket, ports, state and spool
# folders and configuration, so it meets no other cluster. "start" prints the configuration's path once
# the node is idle; "stop" ends the daemons by the ids in their pid files, last started first.
# Usage: slurm_cluster.sh start DIR | slurm_cluster.sh stop DIR
set -eu
dir=$2
if [ "$1" = stop ]; then
  for name in slurmd slurmctld munged; do
    pid=$(cat "$dir/$name.pid" 2>/dev/null) || continue
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -9 "$pid" 2>/dev/null || true
  done
  exit 0
fi
# The daemons' sockets lie under DIR and must fit a socket address.
[ "${#dir}" -le 90 ] || { echo "folder path too long for the daemons' sockets: $dir" >&2; exit 1; }
# The spool folder's name is short: slurmstepd makes its sockets in it, and a socket's path may not
# pass 108 bytes, which a test folder deep in a checkout comes near.
mkdir -p "$dir/m" "$dir/state" "$dir/d"
chmod 711 "$dir/m"
head -c 1024 /dev/urandom >"$dir/m/key"
chmod 400 "$dir/m/key"
munged --force --socket="$dir/m/sock" --key-file="$dir/m/key" --pid-file="$dir/munged.pid" \
  --seed-file="$dir/m/seed" --log-file="$dir/munged.log"
port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
node=$(slurmd -C | head -n 1)   # this machine as Slurm sees it: NodeName=<host> CPUs=... RealMemory=...
host=${node%% *}
host=${host#NodeName=}
cat >"$dir/slurm.conf" <<CONF
ClusterName=tovanel-test
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$(port)
SlurmdPort=$(port)
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/m/sock
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/d
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
SwitchType=switch/none
$node NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$dir/slurm.conf"
slurmctld -i -f "$SLURM_CONF"   # -i: no state from an earlier cluster
slurmd -f "$SLURM_CONF"
for _ in $(seq 240); do
  if [ "$(sinfo -h -o %t 2>/dev/null)" = idle ]; then echo "$SLURM_CONF"; exit 0; fi
  sleep 0.25
done
echo "the node did not become idle" >&2
tail -n 20 "$dir/munged.log" "$dir/slurmctld.log" "$dir/slurmd.log" >&2
exit 1
