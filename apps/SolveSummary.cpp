#include "SolveSummary.h"

#include "Files.h"
#include "MatrixMarket.h"
#include "SolvePlot.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <new>
#include <stdexcept>

namespace qvl3d {
namespace app {

namespace {

std::string Format(const char* fmt, ...)
{
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

std::string Seconds(double s)
{
    if (s < 1e-3) return Format("%.1f us", s * 1e6);
    if (s < 1.0) return Format("%.2f ms", s * 1e3);
    return Format("%.3f s", s);
}

std::string Method(const CRunResult& r)
{
    return Format("%s (code %d)", MethodName(r.code), r.code);
}

const char* EntryPoint(ELayout layout)
{
    const CLayoutInfo* l = Find(layout);
    return l != nullptr ? l->entryPoint : "?";
}

// A JSON string: quotes, backslashes and control characters escaped, a byte
// that is not part of well-formed UTF-8 (a file name can hold any) replaced
// by U+FFFD.
std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (size_t k = 0; k < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[k]);
        const size_t length = host::Utf8SequenceLength(s, k);
        if (length == 0) {
            out += "\\ufffd";
            ++k;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += Format("\\u%04x", c);
        } else {
            out.append(s, k, length);
        }
        k += length;
    }
    return out + "\"";
}

// Standard output was closed when the command started (GuardStandardStreams).
bool g_stdoutClosed = false;

std::string JsonNumber(double v)
{
    return std::isfinite(v) ? Format("%.17g", v) : "null";
}

// The method, layout, tolerance and reference lines, for the road that ran.
void PrintSolverLines(std::FILE* out, const CRunResult& r)
{
    if (!r.frontDoor) {
        std::fprintf(out, "  method              %s, preconditioner %s\n", Method(r).c_str(),
                     r.code == 4 ? "none" : PreconditionerName(r.precond));
        std::fprintf(out, "  layout              %s (%s)\n", LayoutName(r.layout), EntryPoint(r.layout));
        std::fprintf(out, "  tolerance           %.3g, at most %d iterations\n", r.tolerance, r.maxIter);
    } else {
        std::fprintf(out, "  method              %s, preconditioner %s%s\n", RunMethodName(r),
                     PreconditionerName(r.precond),
                     r.restart > 0 ? (", restart every " + std::to_string(r.restart)).c_str() : "");
        std::fprintf(out, "  layout              %s (front door: qvl3d::CSolver)\n", LayoutName(r.layout));
        std::fprintf(out, "  tolerance           %.3g %s, at most %d iterations\n", r.tolerance,
                     r.reference == EReference::RightHandSide ? "times ||b||"
                                                              : "times the residual after the first iteration",
                     r.maxIter);
    }
    std::fprintf(out, "  iterations          %d (%s)\n", r.iterations, r.stop.c_str());
    if (r.multigrid)
        std::fprintf(out, "  multigrid           %zu levels, %d rows coarsest, operator complexity %.3f, grid %.3f\n",
                     r.multigrid->rows.size(), r.multigrid->rows.back(), r.multigrid->operatorComplexity,
                     r.multigrid->gridComplexity);
    if (r.frontDoor && r.reference == EReference::RightHandSide)
        std::fprintf(out, "  initial residual    %.6e (||b - Ax0||)\n", r.initialResidual);
    else if (r.reachedFirst)
        std::fprintf(out, "  reference residual  %.6e (the method's residual after its first iteration)\n",
                     r.residual0);
    else
        std::fprintf(out, "  reference residual  not written (no iteration completed)\n");
}

} // namespace

void PrintSummary(std::FILE* out, const CProblem& p, const CRunResult& r)
{
    const char* rel = r.bZero ? "||b - Ax|| (b = 0)" : "||b - Ax|| / ||b||";
    std::fprintf(out, "\nqvl3d-solve summary\n");
    std::fprintf(out, "  problem             %s\n", host::Printable(p.description).c_str());
    std::fprintf(out, "  size                %d cells, %lld non-zeros\n", r.cells, r.nonZeros);
    PrintSolverLines(out, r);
    if (!r.arithmetic.empty()) std::fprintf(out, "  arithmetic          %s\n", r.arithmetic.c_str());
    std::fprintf(out, "  %-19s %.6e\n", rel, r.relResidual);
    if (r.haveError) std::fprintf(out, "  max |x - x*|        %.6e\n", r.maxError);
    if (r.frontDoor)
        std::fprintf(out, "  set-up              %s (problem %s, front door %s)\n",
                     Seconds(r.problemSeconds + r.layoutSeconds).c_str(), Seconds(r.problemSeconds).c_str(),
                     Seconds(r.layoutSeconds).c_str());
    else
        std::fprintf(out, "  set-up              %s (problem %s, host layouts %s, host check %s)\n",
                     Seconds(r.problemSeconds + r.layoutSeconds + r.checkSeconds).c_str(),
                     Seconds(r.problemSeconds).c_str(), Seconds(r.layoutSeconds).c_str(),
                     Seconds(r.checkSeconds).c_str());
    std::string solve = Seconds(r.solveSeconds);
    if (r.iterations > 0) solve += ", " + Seconds(r.solveSeconds / r.iterations) + " per iteration";
    if (r.repeats > 1)
        solve += Format(" (fastest of %d; mean %s; results %s)", r.repeats, Seconds(r.meanSolveSeconds).c_str(),
                        r.repeatsAgree ? "bit-identical" : "DIFFER");
    std::fprintf(out, "  solve               %s\n", solve.c_str());
    if (r.sums >= 0)
        std::fprintf(out, "  collective calls    %lld global sums, %lld halo exchanges\n", r.sums, r.exchanges);
    const CDistribution& d = r.distribution;
    if (d.ranks > 0) {
        std::fprintf(out, "  ranks               %d (%s)\n", d.ranks, d.partitioner.c_str());
        std::fprintf(out, "  cells per rank      %d .. %d, halo cells %d .. %d\n", d.minCells, d.maxCells, d.minHalo,
                     d.maxHalo);
        std::fprintf(out, "  communication       %s in halo exchanges, %s in global sums (largest over the ranks)\n",
                     Seconds(d.exchangeSeconds).c_str(), Seconds(d.sumSeconds).c_str());
    }
    std::fprintf(out, "  host memory         %.1f MB from the memory tool", r.hostMegabytes);
    if (r.libraryMegabytes > 0.0) std::fprintf(out, " (+ %.1f MB OpenMP store)", r.libraryMegabytes);
    std::fprintf(out, "\n");
    for (const std::string& note : r.notes) std::fprintf(out, "  note                %s\n", note.c_str());
    std::string reason;
    const EExit status = Outcome(r, reason);
    if (status == kExitConverged)
        std::fprintf(out, "  result              converged: %s = %.3e <= %.3g%s\n", rel, r.relResidual, r.tolerance,
                     r.arithmetic.empty() ? ""
                                          : ", by the command's own norms; the method's own norms failed (see "
                                            "arithmetic)");
    else
        std::fprintf(out, "  result              %s\n", reason.c_str());
    // Not flushed here: the first flush of the summary is the one whose
    // failure StandardOutputFault can give a reason for.
}

EExit Outcome(const CRunResult& r, std::string& reason)
{
    reason.clear();
    if (!r.finite) {
        reason = Format("not converged: x is not finite (cell %d is %g)", r.firstNonFinite, r.x[r.firstNonFinite]);
        if (!r.arithmetic.empty()) reason += "; " + r.arithmetic;
        return kExitNotConverged;
    }
    if (!r.converged) {
        reason = Format("not converged: %s = %.3e is above the tolerance %.3g (the solver stopped: %s)",
                        r.bZero ? "||b - Ax||" : "||b - Ax|| / ||b||", r.relResidual, r.tolerance, r.stop.c_str());
        if (!r.arithmetic.empty()) reason += "; " + r.arithmetic;
        return kExitNotConverged;
    }
    return kExitConverged;
}

// The levels of an amg solve: one object on one line.
std::string MultigridJson(const CMultigridSummary& m)
{
    std::string rows, entries;
    for (size_t l = 0; l < m.rows.size(); ++l) {
        rows += Format(l ? ", %d" : "%d", m.rows[l]);
        entries += Format(l ? ", %lld" : "%lld", static_cast<long long>(m.nonZeros[l]));
    }
    return Format("{\"aggregation\": %s, \"levels\": %zu, \"rows\": [%s], \"nonzeros\": [%s], ",
                  JsonString(m.aggregation).c_str(), m.rows.size(), rows.c_str(), entries.c_str()) +
           Format("\"operator_complexity\": %s, \"grid_complexity\": %s, \"setup_seconds\": %s, ",
                  JsonNumber(m.operatorComplexity).c_str(), JsonNumber(m.gridComplexity).c_str(),
                  JsonNumber(m.setupSeconds).c_str()) +
           Format("\"setup_from_update\": %s}", m.fromUpdate ? "true" : "false");
}

std::string SummaryJson(const CProblem& p, const CRunResult& r, EExit exitStatus)
{
    std::string reason;
    const EExit status = Outcome(r, reason);
    std::string j = "{\n";
    auto field = [&](const char* name, const std::string& value, bool last = false) {
        j += Format("  \"%s\": ", name) + value + (last ? "\n" : ",\n");
    };
    field("problem", JsonString(p.description));
    field("cells", Format("%d", r.cells));
    field("nonzeros", Format("%lld", r.nonZeros));
    field("road", JsonString(r.frontDoor ? "front_door" : "entry_point"));
    field("solver_code", r.frontDoor ? "null" : Format("%d", r.code));
    field("method", JsonString(RunMethodName(r)));
    field("restart", r.restart > 0 ? Format("%d", r.restart) : "null");
    field("preconditioner", JsonString(r.code == 4 && !r.frontDoor ? "none" : PreconditionerName(r.precond)));
    field("layout", JsonString(LayoutName(r.layout)));
    field("tolerance", JsonNumber(r.tolerance));
    field("reference", JsonString(r.reference == EReference::RightHandSide ? "rhs" : "first"));
    field("iteration_limit", Format("%d", r.maxIter));
    field("iterations", Format("%d", r.iterations));
    field("status", JsonString(StatusName(r.status)));
    field("stop", JsonString(r.stop));
    field("zero_residual_at", r.zeroNormAt > 0 ? Format("%d", r.zeroNormAt) : "null");
    field("method_arithmetic", r.arithmetic.empty() ? "null" : JsonString(r.arithmetic));
    field("reference_residual", r.reachedFirst ? JsonNumber(r.residual0) : "null");
    field("initial_residual", r.frontDoor ? JsonNumber(r.initialResidual) : "null");
    field("relative_residual", JsonNumber(r.relResidual));
    field("rhs_is_zero", r.bZero ? "true" : "false");
    field("rhs_norm", JsonNumber(r.bNorm));
    field("max_error", r.haveError ? JsonNumber(r.maxError) : "null");
    field("x_finite", r.finite ? "true" : "false");
    field("setup_seconds", JsonNumber(r.problemSeconds + r.layoutSeconds + r.checkSeconds));
    field("problem_seconds", JsonNumber(r.problemSeconds));
    field("layout_seconds", JsonNumber(r.layoutSeconds));
    field("check_seconds", JsonNumber(r.checkSeconds));
    field("solve_seconds", JsonNumber(r.solveSeconds));
    field("mean_solve_seconds", JsonNumber(r.meanSolveSeconds));
    field("seconds_per_iteration", r.iterations > 0 ? JsonNumber(r.solveSeconds / r.iterations) : "null");
    field("repeats", Format("%d", r.repeats));
    field("repeats_bit_identical", r.repeatsAgree ? "true" : "false");
    field("global_sums", r.sums >= 0 ? Format("%lld", r.sums) : "null");
    field("halo_exchanges", r.sums >= 0 ? Format("%lld", r.exchanges) : "null");
    const CDistribution& d = r.distribution;
    if (d.ranks > 0) {
        field("ranks", Format("%d", d.ranks));
        field("partitioner", JsonString(d.partitioner));
        field("cells_per_rank", Format("[%d, %d]", d.minCells, d.maxCells));
        field("halo_cells_per_rank", Format("[%d, %d]", d.minHalo, d.maxHalo));
        field("exchange_seconds", JsonNumber(d.exchangeSeconds));
        field("sum_seconds", JsonNumber(d.sumSeconds));
    }
    if (r.multigrid) field("multigrid", MultigridJson(*r.multigrid));
    field("host_memory_mb", JsonNumber(r.hostMegabytes));
    field("library_memory_mb", JsonNumber(r.libraryMegabytes));
    std::string notes = "[";
    for (size_t k = 0; k < r.notes.size(); ++k) notes += (k ? ", " : "") + JsonString(r.notes[k]);
    field("notes", notes + "]");
    field("converged", status == kExitConverged ? "true" : "false");
    field("exit_status", Format("%d", static_cast<int>(exitStatus)));
    std::string history = "[";
    for (size_t k = 0; k < r.history.size(); ++k) history += (k ? ", " : "") + JsonNumber(r.history[k]);
    field("residual_history", history + "]", true);
    return j + "}\n";
}

EExit WriteResults(const CCommandOptions& o, const CProblem& p, const CRunResult& r, const std::string& solutionComment,
                   const std::string& consoleFault, std::string& reason, const std::function<void()>& writeSolution)
{
    EExit status = Outcome(r, reason);
    if (!consoleFault.empty()) {
        status = kExitFailure;
        reason = consoleFault;
    }
    // A file that cannot be written turns the status into a failure; the
    // files after it are still written, the JSON last with that status.
    auto attempt = [&](const auto& write) {
        try {
            write();
        } catch (const std::bad_alloc&) {
            if (status == kExitFailure) return;
            status = kExitFailure;
            reason = "out of memory";
        } catch (const std::exception& e) {
            if (status == kExitFailure) return;
            status = kExitFailure;
            reason = e.what();
        }
    };
    if (!o.outputFile.empty()) {
        if (!r.finite)
            reason += "; the solution was not written";
        else
            attempt([&] {
                if (writeSolution)
                    writeSolution();
                else
                    host::WriteVectorMarket(o.outputFile, r.x.data(), r.cells, solutionComment);
            });
    }
    if (!o.plotFile.empty()) attempt([&] { WriteText(o.plotFile, ResidualPlotSvg(p, r)); });
    if (!o.jsonFile.empty()) attempt([&] { WriteText(o.jsonFile, SummaryJson(p, r, status)); });
    return status;
}

void WriteText(const std::string& path, const std::string& text)
{
    host::ReplaceFile(path, text);
}

void GuardStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        if (fd == 1) g_stdoutClosed = true;
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

std::string PutStandardOutput(const std::string& text)
{
    errno = 0;
    const bool failed = std::fputs(text.c_str(), stdout) == EOF;
    const int error = errno;
    const std::string fault = StandardOutputFault();
    if (failed && error != 0 && !g_stdoutClosed)
        return "cannot write the summary to standard output: " + std::string(std::strerror(error));
    return fault;
}

std::string StandardOutputFault()
{
    errno = 0;
    const bool flushFailed = std::fflush(stdout) != 0;
    const int error = errno;
    const std::string what = "cannot write the summary to standard output";
    if (g_stdoutClosed) return what + ": it is closed";
    if (flushFailed && error != 0) return what + ": " + std::strerror(error);
    if (flushFailed || std::ferror(stdout)) return what + ": an earlier write failed";
    return "";
}

} // namespace app
} // namespace qvl3d
