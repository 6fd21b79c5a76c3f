// A Euclidean norm whose sum of squares neither overflows nor underflows:
// the running scale (the largest magnitude so far) and the sum of the
// squares over it, as the reference BLAS dnrm2 keeps them. Partial norms,
// of the rows of one rank say, combine without losing that: Merge, or the
// largest scale first and then the sum of the squares over it (Parts).
// Compiled into QVL3DTool, which exports it: the front door's norms and the
// command's are this one.
#ifndef QVL3D_HOST_SCALEDNORM_H
#define QVL3D_HOST_SCALEDNORM_H

#include <qvl3d/QVLExport.h>

namespace qvl3d {
namespace host {

class QVL3D_EXPORT CScaledNorm {
public:
    void Add(double v);
    // Takes in the values other has seen.
    void Merge(const CScaledNorm& other);

    // The norm: infinity when a value was infinite (or the norm is beyond
    // the range of a double), NaN when one was NaN. It is 0 only when every
    // value was 0, however small the others are.
    double Value() const;
    // Value() / other.Value() without overflowing or underflowing in
    // between; NaN when either is not finite or other is 0.
    double Over(const CScaledNorm& other) const;

    // The largest magnitude seen (0: none but zeros).
    double Scale() const { return m_scale; }
    bool SawInfinity() const { return m_inf; }
    bool SawNaN() const { return m_nan; }

    // The sum of the squares over scale^2, for a reduction that takes the
    // largest scale of all parts first: Combined() of the summed parts is
    // the norm of everything.
    double SquaresOver(double scale) const;
    static CScaledNorm Combined(double scale, double squaresOverScale, bool sawInfinity, bool sawNaN);

private:
    double m_scale = 0.0;
    double m_ssq = 1.0; // the sum of (v / m_scale)^2 once m_scale > 0
    bool m_inf = false, m_nan = false;
};

} // namespace host
} // namespace qvl3d

#endif
