#include "ScaledNorm.h"

#include <cmath>
#include <limits>

namespace qvl3d {
namespace host {

void CScaledNorm::Add(double v)
{
    if (v == 0.0) return;
    const double a = std::fabs(v);
    if (!(a <= std::numeric_limits<double>::max())) {
        (std::isnan(a) ? m_nan : m_inf) = true;
        return;
    }
    if (m_scale < a) {
        const double q = m_scale / a;
        m_ssq = 1.0 + m_ssq * (q * q);
        m_scale = a;
    } else {
        const double q = a / m_scale;
        m_ssq = m_ssq + q * q;
    }
}

void CScaledNorm::Merge(const CScaledNorm& other)
{
    m_inf = m_inf || other.m_inf;
    m_nan = m_nan || other.m_nan;
    if (other.m_scale == 0.0) return;
    if (m_scale < other.m_scale) {
        const double q = m_scale / other.m_scale;
        m_ssq = other.m_ssq + m_ssq * (q * q);
        m_scale = other.m_scale;
    } else {
        const double q = other.m_scale / m_scale;
        m_ssq = m_ssq + other.m_ssq * (q * q);
    }
}

double CScaledNorm::Value() const
{
    if (m_nan) return std::numeric_limits<double>::quiet_NaN();
    if (m_inf) return std::numeric_limits<double>::infinity();
    return m_scale * std::sqrt(m_ssq);
}

double CScaledNorm::Over(const CScaledNorm& other) const
{
    if (m_nan || other.m_nan || m_inf || other.m_inf || other.m_scale == 0.0)
        return std::numeric_limits<double>::quiet_NaN();
    if (m_scale == 0.0) return 0.0;
    return m_scale / other.m_scale * std::sqrt(m_ssq / other.m_ssq);
}

double CScaledNorm::SquaresOver(double scale) const
{
    if (m_scale == 0.0) return 0.0;
    const double q = m_scale / scale;
    return m_ssq * (q * q);
}

CScaledNorm CScaledNorm::Combined(double scale, double squaresOverScale, bool sawInfinity, bool sawNaN)
{
    CScaledNorm n;
    n.m_scale = scale;
    n.m_ssq = scale == 0.0 ? 1.0 : squaresOverScale;
    n.m_inf = sawInfinity;
    n.m_nan = sawNaN;
    return n;
}

} // namespace host
} // namespace qvl3d
