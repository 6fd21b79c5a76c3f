// The compiled half of the Python module qvl3d: the front door (Solve.h)
// over NumPy arrays, viewed in place, and three private helpers (the memory
// tool's count, the host's box builders, the command's own entry point);
// in a build with MPI also the distributed one (DistributedModule.cpp).
// The Python half (qvl3d/__init__.py) turns SciPy matrices and array-likes
// into the exact arrays checked here, converting only what must be.
#include "BoxProblems.h"
#include <qvl3d/QVLMemTool.h>
#include <qvl3d/Solve.h>
#include "SolveCommand.h"

#include "ModuleSupport.h"

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

namespace qvl3d {
namespace python {

namespace {

struct CReferenceWord {
    qvl3d::EReference id;
    const char* word;
};
constexpr CReferenceWord kReferences[] = {{qvl3d::EReference::RightHandSide, "rhs"},
                                          {qvl3d::EReference::FirstIteration, "first"}};

} // namespace

qvl3d::CSolveOptions OptionsOf(const py::dict& options)
{
    using namespace qvl3d;
    auto word = [&](const char* key) { return options[key].cast<std::string>(); };
    CSolveOptions o;
    o.method = Choose("method", word("method"), kMethods);
    if (!options["preconditioner"].is_none())
        o.preconditioner = Choose("preconditioner", word("preconditioner"), kPreconditioners);
    o.layout = Choose("layout", word("layout"), kLayouts);
    o.reference = Choose("reference", word("reference"), kReferences);
    o.rtol = options["rtol"].cast<double>();
    o.atol = options["atol"].cast<double>();
    o.maxIter = options["maxiter"].cast<int>();
    o.divtol = options["divtol"].cast<double>();
    o.restart = options["restart"].cast<int>();
    o.monitor = [last = std::chrono::steady_clock::now()](int, double) mutable { CheckSignals(last); };
    return o;
}

py::dict OptionsDict(const qvl3d::CSolveOptions& o)
{
    using namespace qvl3d;
    py::dict d;
    d["method"] = Find(o.method)->word;
    d["preconditioner"] = Find(PreconditionerFor(o.method, o.preconditioner))->word;
    d["layout"] = Find(o.layout)->word;
    d["rtol"] = o.rtol;
    d["atol"] = o.atol;
    d["maxiter"] = o.maxIter;
    for (const CReferenceWord& r : kReferences)
        if (r.id == o.reference) d["reference"] = r.word;
    d["divtol"] = o.divtol;
    d["restart"] = o.restart;
    return d;
}

} // namespace python
} // namespace qvl3d

namespace {

using namespace qvl3d::python;

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
              const py::dict& options)
        : m_solver(View(rows, indptr, indices, data), OptionsOf(options))
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

    py::dict Options() const { return OptionsDict(m_solver.Options()); }

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
        .def(py::init<std::int64_t, const py::array&, const py::array&, const py::array&, const py::dict&>(),
             py::arg("rows"), py::arg("indptr"), py::arg("indices"), py::arg("data"), py::arg("options"))
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
    qvl3d::python::AddDistributed(m); // the partitioner; the distributed solver where MPI is built
}
