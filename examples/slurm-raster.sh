#!/bin/bash
# A raster study on four nodes of a Slurm cluster: one tessaly process per
# node, each integrating its share of the initial conditions on all the cores
# Slurm gives it. Submit from the directory that holds the input (results go
# there; it must be on a file system that every node of the job shares):
#
#   sbatch slurm-raster.sh mystudy.txt
#
# The program must be built with MPI (tessaly --version: "feature mpi: yes"),
# against the same MPI library the cluster's srun talks to.
#SBATCH --job-name=tessaly-raster
#SBATCH --nodes=4
#SBATCH --ntasks-per-node=1
#SBATCH --cpus-per-task=32
#SBATCH --time=04:00:00
#SBATCH --output=tessaly-%j.log

set -euo pipefail
input=${1:?usage: sbatch slurm-raster.sh INPUT}
cd "$SLURM_SUBMIT_DIR"

# One worker thread per core of each task (the default would also find them
# from the task's CPU binding).
export TESSALY_THREADS=$SLURM_CPUS_PER_TASK

# --mpi=pmix for Open MPI 4 and later; "srun --mpi=list" names what the site
# offers (pmi2 works as well). Outside Slurm the same run is
#   mpirun -n 4 --map-by node --bind-to none tessaly INPUT
srun --mpi=pmix tessaly --no-progress "$input"
