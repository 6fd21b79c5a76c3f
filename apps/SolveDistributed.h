// qvl3d-solve across the ranks of an MPI job (mpiexec -n P qvl3d-solve ...).
//
// A built-in box is split by recursive coordinate bisection, and each rank
// builds only its own sub-box with its halo (SetUpBoxShare), the same bits as
// its share of the whole system; a renumbered box is the same sub-box with
// its cells renamed by the renumbering (host::CRenumbering, computed cell by
// cell). A matrix file is read once by rank 0 and streamed to the ranks that
// own its rows (by the graph partition of the matrix in the solver's
// numbering), and so are the vector files. No rank holds anything of the
// size of the whole problem. Each rank
// solves its share through the MPI halo exchange and global sum: by default
// a front-door CSolver on the partition (CPartitionLink), with
// --entry-point the host objects and the entry points; rank 0
// prints the one summary, with the rank count, the cells and halo cells per
// rank and the time in exchanges and global sums, and writes the JSON. The
// owners stream the solution to rank 0 for --output, in the original
// numbering; it is gathered whole only to name a cell that is not finite.
// Every rank returns the same exit status.
//
// A fault found while setting up (options, input, partitioning) is agreed
// on by all ranks before any solve: the lowest rank that saw it prints it
// and every rank exits with its status. The front door refuses its input
// on every rank alike (status 2, the lowest refusing rank's reason). A fault
// of one rank once the solve has begun (its host check, say) ends the whole
// job through MPI_Abort with the fault's status, so no rank is left waiting
// in a collective call.
#ifndef QVL3D_APPS_SOLVEDISTRIBUTED_H
#define QVL3D_APPS_SOLVEDISTRIBUTED_H

namespace qvl3d {
namespace app {

// True when an MPI launcher started this process (its environment says so).
// A plain run stays serial and never initialises MPI.
bool LaunchedByMpi();

// The whole command under MPI, from MPI_Init to MPI_Finalize.
int DistributedMain(int argc, char** argv);

} // namespace app
} // namespace qvl3d

#endif
