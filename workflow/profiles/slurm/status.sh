#!/usr/bin/env bash
# Tells Snakemake what became of a SLURM job: "running", "success", or
# "failed" (failed, cancelled, out of time or memory, node lost, ...), so a
# job SLURM kills fails the workflow instead of leaving it waiting.
# Asks the controller, then the accounting database for a job the
# controller has already forgotten. A controller that cannot be reached
# counts as "running": Snakemake asks again.
#   status.sh JOBID
set -uo pipefail
job=$1
command -v scontrol >/dev/null || { echo "status.sh: scontrol not found: is this a SLURM node?" >&2; exit 1; }
state=""
if out=$(scontrol show job -o "$job" 2>&1); then
  state=$(grep -o 'JobState=[A-Z_]*' <<<"$out" | head -n1 | cut -d= -f2)
elif ! grep -qi 'invalid job id' <<<"$out"; then
  echo "status.sh: job $job: $out" >&2
  echo running
  exit 0
fi
if [ -z "$state" ]; then
  # sacct prints e.g. "CANCELLED by 0"; an empty answer means no record.
  state=$(sacct -X -n -P -o State -j "$job" 2>/dev/null | head -n1 | cut -d' ' -f1)
fi
case "$state" in
  COMPLETED) echo success ;;
  PENDING | CONFIGURING | RUNNING | COMPLETING | SUSPENDED | STOPPED | RESIZING | SIGNALING | STAGE_OUT | \
  REQUEUED | REQUEUE_FED | REQUEUE_HOLD | RESV_DEL_HOLD) echo running ;;
  "")
    echo "status.sh: SLURM has no record of job $job" >&2
    echo failed ;;
  *) echo failed ;;
esac
