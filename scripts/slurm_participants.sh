#!/usr/bin/env bash
# One participant of a BIDS dataset per SLURM array task: the participant
# level of korvanth-bids for the participant in row SLURM_ARRAY_TASK_ID of
# BIDS_DIR/participants.tsv (rows from 1, the header not counted).
#
#   n=$(($(wc -l < BIDS_DIR/participants.tsv) - 1))
#   sbatch --array=1-$n scripts/slurm_participants.sh BIDS_DIR OUTPUT_DIR [korvanth-bids options]
#   korvanth-bids BIDS_DIR OUTPUT_DIR group      # once every task has ended
#
# KORVANTH_BIDS names the program (default: korvanth-bids on the PATH). The
# task ends with the participant's exit code: 0 done, 5 a run partial, 2 a bad input.
#SBATCH --job-name=korvanth-bids
#SBATCH --ntasks=1
#SBATCH --cpus-per-task=1
set -euo pipefail

if (($# < 2)); then
  echo "usage: sbatch --array=1-N $0 BIDS_DIR OUTPUT_DIR [korvanth-bids options]" >&2
  exit 2
fi
bids=$1
out=$2
shift 2
row=${SLURM_ARRAY_TASK_ID:?run as a SLURM array task (sbatch --array=1-N)}

label=$(awk -F'\t' -v row="$row" '
  { sub(/\r$/, "") }
  NR == 1 { for (i = 1; i <= NF; i++) if ($i == "participant_id") column = i; next }
  NR == row + 1 && column { print $column }' "$bids/participants.tsv")
label=${label#sub-}
if [[ -z $label ]]; then
  echo "error: $bids/participants.tsv has no participant_id in row $row" >&2
  exit 2
fi
exec "${KORVANTH_BIDS:-korvanth-bids}" "$bids" "$out" participant --participant-label "$label" "$@"
