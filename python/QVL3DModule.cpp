// The compiled half of the Python module qvl3d: the front door (Solve.h)
// over NumPy arrays, viewed in place, and three private helpers (the memory
// tool's count, the host's box builders, the command's own entry point).
// The Python half (qvl3d/__init__.py) turns SciPy matrices and array-likes
// into the exact arrays checked here, converting only what must be.
#include "BoxProblems.h"
#include <qvl3d/QVLMemTool.h>
#include <qvl3d/Solve.h>
#include "SolveCommand.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

[[noreturn]] void Refuse(const std::string& what)
{
    throw std::invalid_argument("qvl3d: " + what);
}

// The id of `word` in one of the library's tables (SolverTable.h).
template <class Row, std::size_t N>
auto Choose(const char* option, const std::string& word, const Row (&table)[N])
{
    if (const Row* row = qvl3d::FindWord(table, word)) return row->id;
    Refuse(std::string(option) + " '" + word + "' is not one of " + qvl3d::Words(table));
}

// The array's data when it is exactly what the front door reads: elements
// of T in native byte order, one dimension of the expected length, C
// contiguous and aligned. The Python half converts anything else first.
template <class T>
T* DataOf(const py::array& a, const char* what, std::int64_t length)
{
    const bool aligned = (py::detail::array_proxy(a.ptr())->flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0;
    if (!py::array_t<T, py::array::c_style>::check_(a) || !aligned)
        Refuse(std::string(what) + " must be a C-contiguous, aligned array of " +
               std::string(py::str(py::dtype::of<T>())) + ", not of " + std::string(py::str(a.dtype())));
    if (a.ndim() != 1 || a.shape(0) != length)
        Refuse(std::string(what) + " must hold " + std::to_string(length) + " elements in one dimension");
    return static_cast<T*>(const_cast<void*>(a.data()));
}

// Thrown by the monitor when Python has a signal to handle (Ctrl-C): the
// solve ends after that iteration, and the error Python set is raised.
struct CInterrupted {};

// Looks for signals at most every 20 ms of a solve, holding the GIL only for
// the look: Ctrl-C stops a long solve within about one iteration.
void CheckSignals(std::chrono::steady_clock::time_point& last)
{
    const auto now = std::chrono::steady_clock::now();
    if (now - last < std::chrono::milliseconds(20)) return;
    last = now;
    py::gil_scoped_acquire hold;
    if (PyErr_CheckSignals() != 0) throw CInterrupted{};
}

qvl3d::CSolveOptions OptionsOf(const std::string& method, const std::string& preconditioner, const std::string& layout,
                               double rtol, double atol, int maxiter, const std::string& reference, double divtol)
{
    using namespace qvl3d;
    CSolveOptions o;
    o.method = Choose("method", method, kMethods);
    if (!preconditioner.empty()) o.preconditioner = Choose("preconditioner", preconditioner, kPreconditioners);
    o.layout = Choose("layout", layout, kLayouts);
    if (reference != "rhs" && reference != "first") Refuse("reference '" + reference + "' is not one of rhs, first");
    o.reference = reference == "rhs" ? EReference::RightHandSide : EReference::FirstIteration;
    o.rtol = rtol;
    o.atol = atol;
    o.maxIter = maxiter;
    o.divtol = divtol;
    o.monitor = [last = std::chrono::steady_clock::now()](int, double) mutable { CheckSignals(last); };
    return o;
}

// A vector handed to NumPy without a copy: the array owns it through a capsule.
py::array_t<double> Give(std::vector<double>&& v)
{
    auto* owned = new std::vector<double>(std::move(v));
    py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<double>*>(p); });
    return py::array_t<double>(static_cast<py::ssize_t>(owned->size()), owned->data(), owner);
}

template <class T>
py::array_t<T> ArrayOf(const std::vector<T>& v)
{
    py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

// The levels of an amg solve as a dict, or None.
py::object MultigridOf(const qvl3d::CSolveResult& r)
{
    if (!r.multigrid) return py::none();
    const qvl3d::CMultigridSummary& m = *r.multigrid;
    py::dict d;
    d["aggregation"] = m.aggregation;
    d["rows"] = ArrayOf(m.rows);
    d["nonzeros"] = ArrayOf(m.nonZeros);
    d["operator_complexity"] = m.operatorComplexity;
    d["grid_complexity"] = m.gridComplexity;
    d["setup_seconds"] = m.setupSeconds;
    d["setup_from_update"] = m.fromUpdate;
    return std::move(d);
}

class CPySolver {
public:
    CPySolver(std::int64_t rows, const py::array& indptr, const py::array& indices, const py::array& data,
              const std::string& method, const std::string& preconditioner, const std::string& layout, double rtol,
              double atol, int maxiter, const std::string& reference, double divtol)
        : m_solver(View(rows, indptr, indices, data),
                   OptionsOf(method, preconditioner, layout, rtol, atol, maxiter, reference, divtol)),
          m_reference(reference)
    {
    }

    // Solves from the x passed in, which receives the solution; the GIL is
    // released for the solve, and the lock keeps one solve or update at a
    // time on this solver.
    py::tuple Solve(const py::array& b, const py::array& x)
    {
        const std::int64_t n = m_solver.Rows();
        const double* pb = DataOf<double>(b, "b", n);
        double* px = DataOf<double>(x, "x", n);
        if (!x.writeable()) Refuse("x must be writeable");
        qvl3d::CSolveResult r;
        bool interrupted = false;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> one(m_lock);
            try {
                r = m_solver.Solve(pb, px);
            } catch (const CInterrupted&) {
                interrupted = true;
            }
        }
        if (interrupted)
            throw py::error_already_set(); // what the signal's handler raised, KeyboardInterrupt for Ctrl-C
        const bool converged = r.Converged();
        return py::make_tuple(qvl3d::StatusName(r.status), r.iterations, r.initialResidual, r.finalResidual,
                              r.relativeResidual, Give(std::move(r.history)), r.seconds, converged, MultigridOf(r));
    }

    void Update(const py::array& values)
    {
        const double* v = DataOf<double>(values, "values", m_solver.NonZeros());
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> one(m_lock);
        m_solver.Update(v);
    }

    py::dict Options() const
    {
        const qvl3d::CSolveOptions& o = m_solver.Options();
        py::dict d;
        d["method"] = qvl3d::Find(o.method)->word;
        d["preconditioner"] = qvl3d::Find(qvl3d::PreconditionerFor(o.method, o.preconditioner))->word;
        d["layout"] = qvl3d::Find(o.layout)->word;
        d["rtol"] = o.rtol;
        d["atol"] = o.atol;
        d["maxiter"] = o.maxIter;
        d["reference"] = m_reference;
        d["divtol"] = o.divtol;
        return d;
    }

    int Rows() const { return m_solver.Rows(); }
    std::int64_t NonZeros() const { return m_solver.NonZeros(); }

private:
    static qvl3d::CCsrView View(std::int64_t rows, const py::array& indptr, const py::array& indices,
                                const py::array& data)
    {
        if (rows < 0) Refuse("rows is " + std::to_string(rows) + ", a negative count");
        qvl3d::CCsrView v;
        v.rows = rows;
        if (py::array_t<std::int32_t>::check_(indptr))
            v.rowStart32 = DataOf<std::int32_t>(indptr, "indptr", rows + 1);
        else
            v.rowStart64 = DataOf<std::int64_t>(indptr, "indptr", rows + 1);
        const std::int64_t nnz = v.rowStart32 != nullptr ? v.rowStart32[rows] : v.rowStart64[rows];
        if (nnz < 0) Refuse("indptr ends at " + std::to_string(nnz) + ", a negative count");
        if (indices.ndim() != 1 || indices.shape(0) < nnz || data.ndim() != 1 || data.shape(0) < nnz)
            Refuse("indptr ends at " + std::to_string(nnz) + ", beyond the indices or the data");
        v.columns = DataOf<std::int32_t>(indices, "indices", indices.shape(0));
        v.values = DataOf<double>(data, "data", data.shape(0));
        return v;
    }

    qvl3d::CSolver m_solver;
    std::string m_reference;
    std::mutex m_lock;
};

// The host's box: 0-based CSR arrays, rows sorted by column.
py::tuple Box(const std::string& problem, int nx, int ny, int nz, double vx, double vy, double vz, double peclet)
{
    if (nx < 1 || ny < 1 || nz < 1 || static_cast<long long>(nx) * ny * nz > 100000000LL)
        Refuse("the box needs 1 to 100000000 cells, at least one along each axis");
    const qvl3d::host::CBox box{nx, ny, nz};
    qvl3d::host::CSparseMatrix M;
    if (problem == "poisson") {
        M = qvl3d::host::Poisson(box);
    } else if (problem == "convdiff") {
        qvl3d::host::CConvection flow;
        flow.vx = vx;
        flow.vy = vy;
        flow.vz = vz;
        flow.peclet = peclet;
        M = qvl3d::host::ConvectionDiffusion(box, flow);
    } else {
        Refuse("problem '" + problem + "' is not one of convdiff, poisson");
    }
    for (int& c : M.col) --c;
    return py::make_tuple(ArrayOf(M.rowStart), ArrayOf(M.col), ArrayOf(M.val));
}

int RunCommand(const std::vector<std::string>& args)
{
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    py::gil_scoped_release unlocked;
    return qvl3d::app::SolveMain(static_cast<int>(args.size()), argv.data());
}

} // namespace

PYBIND11_MODULE(_qvl3d, m)
{
    m.doc() = "The compiled part of qvl3d; use the package qvl3d.";
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const CQVLMemError&) {
            PyErr_SetString(PyExc_MemoryError, "the memory tool could not allocate");
        }
    });

    py::class_<CPySolver>(m, "_Solver")
        .def(py::init<std::int64_t, const py::array&, const py::array&, const py::array&, const std::string&,
                      const std::string&, const std::string&, double, double, int, const std::string&, double>(),
             py::arg("rows"), py::arg("indptr"), py::arg("indices"), py::arg("data"), py::arg("method"),
             py::arg("preconditioner"), py::arg("layout"), py::arg("rtol"), py::arg("atol"), py::arg("maxiter"),
             py::arg("reference"), py::arg("divtol"))
        .def("solve", &CPySolver::Solve, py::arg("b"), py::arg("x"),
             "Solves from x in place; returns (status, iterations, initial, final, relative, history, seconds, "
             "converged, multigrid).")
        .def("update", &CPySolver::Update, py::arg("values"))
        .def_property_readonly("options", &CPySolver::Options)
        .def_property_readonly("rows", &CPySolver::Rows)
        .def_property_readonly("nnz", &CPySolver::NonZeros);

    // The words of the library's table, for the package's documentation and checks.
    m.attr("METHODS") = qvl3d::Words(qvl3d::kMethods);
    m.attr("PRECONDITIONERS") = qvl3d::Words(qvl3d::kPreconditioners);
    m.attr("LAYOUTS") = qvl3d::Words(qvl3d::kLayouts);
    m.def("_total_mem", &CQVLMemTool::getTotalMem, "Megabytes ever requested from the memory tool.");
    m.def("_box", &Box, py::arg("problem"), py::arg("nx"), py::arg("ny"), py::arg("nz"), py::arg("vx") = 1.0,
          py::arg("vy") = 1.0, py::arg("vz") = 1.0, py::arg("peclet") = 100.0,
          "The host's box problem as 0-based CSR arrays (indptr, indices, data).");
    m.def("_run_command", &RunCommand, py::arg("argv"),
          "Runs qvl3d-solve with argv (argv[0] the program name) and returns its exit status.");
}
