// The compiled half of qvl3d.partition (the library's partitioner,
// GraphPartition.h) and, in a build with MPI, of qvl3d.DistributedSolver:
// the distributed front door (DistributedSolve.h) over one rank's NumPy
// arrays. The communicator comes as its Fortran handle (mpi4py's
// comm.py2f()), converted here with MPI_Comm_f2c: the module then needs
// neither mpi4py's C header at build time nor its C interface at run time,
// only the MPI library both already share, and it takes the communicator
// the same way the C and Fortran interfaces do.
#include <qvl3d/GraphPartition.h>
#include <qvl3d/Solve.h>

#include "ModuleSupport.h"

#if defined(QVL3D_WITH_MPI)
#include <qvl3d/DistributedSolve.h>
#include <qvl3d/MpiTransport.h>
#endif

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qvl3d {
namespace python {

namespace {

// part[k] for each row of the CSR arrays (int32 indices, as the front door reads them).
py::array_t<int> Partition(std::int64_t rows, const py::array& indptr, const py::array& indices, int parts)
{
    if (rows < 0) Refuse("rows is " + std::to_string(rows) + ", a negative count");
    CCsrView v;
    v.rows = rows;
    v.rowStart64 = DataOf<std::int64_t>(indptr, "indptr", rows + 1);
    const std::int64_t nnz = v.rowStart64[rows];
    if (nnz < 0 || indices.ndim() != 1 || indices.shape(0) < nnz)
        Refuse("indptr ends at " + std::to_string(nnz) + ", beyond the indices");
    v.columns = DataOf<std::int32_t>(indices, "indices", indices.shape(0));
    std::vector<int> part;
    {
        py::gil_scoped_release unlocked;
        part = PartitionGraph(v, parts);
    }
    py::array_t<int> out(static_cast<py::ssize_t>(part.size()));
    std::copy(part.begin(), part.end(), out.mutable_data());
    return out;
}

#if defined(QVL3D_WITH_MPI)

// The communicator of a Fortran handle, or a refusal when MPI cannot run.
MPI_Comm CommOf(std::int64_t handle)
{
    int initialized = 0, finalized = 0;
    MPI_Initialized(&initialized);
    MPI_Finalized(&finalized);
    if (!initialized || finalized)
        Refuse("MPI is not running (import mpi4py.MPI first, and do not use the solver after MPI_Finalize)");
    const MPI_Comm comm = MPI_Comm_f2c(static_cast<MPI_Fint>(handle));
    if (comm == MPI_COMM_NULL) Refuse("the communicator is MPI_COMM_NULL");
    return comm;
}

// The message of the lowest rank of the communicator with one, as
// (rank, message), or (-1, "") when no rank has one (collective). The
// package's own checks agree through it before any other collective call.
py::tuple FirstOf(std::int64_t handle, const std::string& message)
{
    const MPI_Comm comm = CommOf(handle);
    std::string text = message;
    int rank = -1;
    {
        py::gil_scoped_release unlocked;
        rank = FirstMessage(comm, text);
    }
    return py::make_tuple(rank, text);
}

// Runs this rank's own checks in check, then agrees (collective): when any
// rank refused, every rank throws the lowest refusing rank's message.
template <class Check>
void Agreed(MPI_Comm comm, Check&& check)
{
    std::string fault;
    try {
        check();
    } catch (const std::invalid_argument& e) {
        fault = e.what();
    }
    const int first = FirstMessage(comm, fault);
    if (first >= 0) throw std::invalid_argument("rank " + std::to_string(first) + ": " + fault);
}

class CPyDistributedSolver {
public:
    CPyDistributedSolver(std::int64_t comm, std::int64_t rows, const py::array& indptr, const py::array& indices,
                         const py::array& data, const py::object& ids, std::int64_t first, const py::dict& options)
    {
        m_comm = CommOf(comm);
        CGlobalRows g;
        COwnership own;
        CSolveOptions o;
        Agreed(m_comm, [&] {
            if (rows < 0) Refuse("rows is " + std::to_string(rows) + ", a negative count");
            g.rows = rows;
            g.rowStart = DataOf<std::int64_t>(indptr, "indptr", rows + 1);
            const std::int64_t nnz = g.rowStart[rows];
            if (nnz < 0) Refuse("indptr ends at " + std::to_string(nnz) + ", a negative count");
            g.columns = DataOf<std::int64_t>(indices, "indices", nnz);
            g.values = DataOf<double>(data, "data", nnz);
            own = ids.is_none() ? COwnership::Range(first)
                                : COwnership::List(DataOf<std::int64_t>(ids.cast<py::array>(), "ids", rows));
            o = OptionsOf(options);
        });
        py::gil_scoped_release unlocked;
        m_solver = std::make_unique<CDistributedSolver>(m_comm, g, own, std::move(o));
    }

    py::tuple Solve(const py::array& b, const py::array& x)
    {
        const std::int64_t n = m_solver->System().rows;
        const double* pb = nullptr;
        double* px = nullptr;
        Agreed(m_comm, [&] {
            pb = DataOf<double>(b, "b", n);
            px = DataOf<double>(x, "x", n);
            if (!x.writeable()) Refuse("x must be writeable");
        });
        CSolveResult r;
        bool interrupted = false;
        {
            py::gil_scoped_release unlocked;
            std::lock_guard<std::mutex> one(m_lock);
            try {
                r = m_solver->Solve(pb, px);
            } catch (const CInterrupted&) {
                interrupted = true;
            }
        }
        if (interrupted) throw py::error_already_set(); // KeyboardInterrupt for Ctrl-C on this rank
        const bool converged = r.Converged();
        return py::make_tuple(StatusName(r.status), r.iterations, r.initialResidual, r.finalResidual,
                              r.relativeResidual, Give(std::move(r.history)), r.seconds, converged);
    }

    void Update(const py::array& values)
    {
        const double* v = nullptr;
        Agreed(m_comm, [&] { v = DataOf<double>(values, "values", NonZeros()); });
        py::gil_scoped_release unlocked;
        std::lock_guard<std::mutex> one(m_lock);
        m_solver->Update(v);
    }

    py::dict Options() const { return OptionsDict(m_solver->Options()); }

    std::int64_t Rows() const { return m_solver->System().rows; }
    std::int64_t NonZeros() const { return static_cast<std::int64_t>(m_solver->System().values.size()); }
    std::int64_t HaloCells() const { return static_cast<std::int64_t>(m_solver->System().globalId.size()) - Rows(); }

private:
    MPI_Comm m_comm = MPI_COMM_NULL; // the host's, for the module's own refusals
    std::unique_ptr<CDistributedSolver> m_solver;
    std::mutex m_lock;
};

#endif

} // namespace

void AddDistributed(py::module_& m)
{
    m.def("_partition", &Partition, py::arg("rows"), py::arg("indptr"), py::arg("indices"), py::arg("parts"),
          "part[k] in 0..parts-1 for each row of the CSR arrays (int64 indptr, int32 indices).");
    m.attr("GRAPH_PARTITIONER") = GraphPartitioner();
#if defined(QVL3D_WITH_MPI)
    m.attr("WITH_MPI") = true;
    m.def("_first_message", &FirstOf, py::arg("comm"), py::arg("message"),
          "(rank, message) of the lowest rank whose message is not empty, or (-1, ''); collective.");
    py::class_<CPyDistributedSolver>(m, "_DistributedSolver")
        .def(py::init<std::int64_t, std::int64_t, const py::array&, const py::array&, const py::array&,
                      const py::object&, std::int64_t, const py::dict&>(),
             py::arg("comm"), py::arg("rows"), py::arg("indptr"), py::arg("indices"), py::arg("data"), py::arg("ids"),
             py::arg("first"), py::arg("options"))
        .def("solve", &CPyDistributedSolver::Solve, py::arg("b"), py::arg("x"))
        .def("update", &CPyDistributedSolver::Update, py::arg("values"))
        .def_property_readonly("options", &CPyDistributedSolver::Options)
        .def_property_readonly("rows", &CPyDistributedSolver::Rows)
        .def_property_readonly("nnz", &CPyDistributedSolver::NonZeros)
        .def_property_readonly("halo", &CPyDistributedSolver::HaloCells);
#else
    m.attr("WITH_MPI") = false;
#endif
}

} // namespace python
} // namespace qvl3d
