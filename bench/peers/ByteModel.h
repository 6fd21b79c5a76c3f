// Byte model of one iteration of each of our methods: the memory traffic per
// cell of every pass over the cells, as the methods fuse them today,
// including the write-allocate read of every array that a pass writes without
// reading.
//
// Assumptions, all of them about a system much larger than the caches:
// - every array a pass streams comes from memory once per pass; a vector the
//   row product gathers at neighbour columns (x, phat, shat, p, and y/z in
//   the substitutions) costs its 8 bytes once: with the host's cell order the
//   neighbours' planes stay in the cache between the rows that share them;
//   so does what a pass reads again a plane behind (Gauss-Seidel's residual);
// - a pass that writes a vector it does not read pays 8 bytes for the
//   write-allocate and 8 for the write-back (16), a read-modify-write 16;
// - scalars, global sums and (with one rank) halo exchanges cost nothing.
//
// The matrix rows cost what the layout stores per row:
//   CSR     values and columns of every entry (the diagonal's column shares
//           the cache lines) and the row start: 12 * nnz/n + 4
//   ELL     slot-major, every slot up to the width streamed, padding
//           included; slot 0's columns are never read: 8*W + 4*(W-1)
//   native  the rows' coefficient and neighbour blocks as the host laid
//           them out (measured: bytes from one row's block to the next),
//           plus the two row pointers and the neighbour count. When the host
//           allocates each row's blocks next to each other instead of in
//           pools, a pass streams the whole interleaved span once.
//
// The front door (road "front") runs the same passes, but its sweeps read
// its own sweep rows instead of the layout (solver/detail/SweepRows.h): per
// owned row and sweep the row's start (4 B), its place in the schedule's
// order (4 B when every group of the schedule holds four rows, as on a
// box's interior; more groups only add bytes, so the bound is the lower
// one) and a shape byte per group, then int32 column + double value (12 B)
// per entry of the part: DILU's lower part in the forward sweep and its
// upper part in the backward one (owned columns only), Gauss-Seidel's
// whole off-diagonal row (halo columns kept) with its diagonal (8 B) and a
// shape byte per four rows for the trailing residual. Gauss-Seidel does not
// touch the layout at all there, so its bound is the same on every layout.
#ifndef QVL3D_BENCH_PEERS_BYTEMODEL_H
#define QVL3D_BENCH_PEERS_BYTEMODEL_H

#include <string>
#include <vector>

namespace qvl3d {
namespace peers {

// What the model needs to know about the system's layouts.
struct CLayoutShape {
    double entriesPerRow = 7.0; // nnz / n, diagonal included
    int ellWidth = 7;           // slots per ELL row, slot 0 included
    // Native rows, measured from the host's arrays: bytes from one row's block
    // to the next for the coefficients, the neighbour lists and the ordered
    // slot lists; interleaved when the three sit side by side per row (then
    // each stride is the whole per-row span).
    double nativeCoefPerRow = 56.0;
    double nativeNeighbourPerRow = 28.0;
    double nativeSlotsPerRow = 32.0;
    bool nativeInterleaved = false;
    // Per owned row, measured from the partition's rows: entries left of the
    // diagonal and right of it among the owned columns, and every
    // off-diagonal entry, halo columns included.
    double lowerPerRow = 3.0;
    double upperPerRow = 3.0;
    double offPerRow = 6.0;
};

struct CPass {
    std::string what;  // e.g. "v = A*phat, sum r0hat*v"
    std::string moves; // e.g. "A, phat, r0hat read; v written"
    double bytes = 0.0;
};

// method: bicgstab, cg, gs; precond: diag, dilu, none; layout: native, csr,
// ell; road: entry (CSingleGridSolver's entry points) or front (CSolver).
// Returns the passes of one iteration; empty for a combination we do not
// run.
std::vector<CPass> IterationPasses(const std::string& method, const std::string& precond, const std::string& layout,
                                   const CLayoutShape& shape, const std::string& road = "entry");
double IterationBytes(const std::string& method, const std::string& precond, const std::string& layout,
                      const CLayoutShape& shape, const std::string& road = "entry");

// Bytes of one row of the matrix in a row-product pass, and of both
// substitution sweeps of the DILU application (matrix part only).
double RowBytes(const std::string& layout, const CLayoutShape& shape);
double DiluMatrixBytes(const std::string& layout, const CLayoutShape& shape, const std::string& road = "entry");

// The front door's sweep rows per row and sweep over a part of `entries`
// entries per row: start, schedule and the entries themselves.
double SweepPartBytes(double entries);

// The model as Markdown: one table of passes per method and preconditioner,
// with the bytes per layout, and the bound at the given bandwidths (bytes per
// second counted the same way, write-allocate included; 0 to leave out).
std::string ModelMarkdown(const CLayoutShape& shape, const std::string& systemName, double bandwidth1,
                          double bandwidth2);

} // namespace peers
} // namespace qvl3d

#endif
