// What the compiled halves of the module share (QVL3DModule.cpp, the serial
// front door; DistributedModule.cpp, the distributed one): refusals in the
// module's words, the exact arrays the front doors read, the options from
// their words, Ctrl-C during a solve, and vectors handed to NumPy.
#ifndef QVL3D_PYTHON_MODULESUPPORT_H
#define QVL3D_PYTHON_MODULESUPPORT_H

#include <qvl3d/Solve.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qvl3d {
namespace python {

namespace py = pybind11;

[[noreturn]] inline void Refuse(const std::string& what)
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
inline void CheckSignals(std::chrono::steady_clock::time_point& last)
{
    const auto now = std::chrono::steady_clock::now();
    if (now - last < std::chrono::milliseconds(20)) return;
    last = now;
    py::gil_scoped_acquire hold;
    if (PyErr_CheckSignals() != 0) throw CInterrupted{};
}

// A vector handed to NumPy without a copy: the array owns it through a capsule.
inline py::array_t<double> Give(std::vector<double>&& v)
{
    auto* owned = new std::vector<double>(std::move(v));
    py::capsule owner(owned, [](void* p) { delete static_cast<std::vector<double>*>(p); });
    return py::array_t<double>(static_cast<py::ssize_t>(owned->size()), owned->data(), owner);
}

// The front door's options from the dict the package's _options makes (each
// option present, of its type); the monitor looks for Ctrl-C. And back, as
// the solvers' `options` property gives them (QVL3DModule.cpp).
qvl3d::CSolveOptions OptionsOf(const py::dict& options);
py::dict OptionsDict(const qvl3d::CSolveOptions& o);

// Adds the distributed solver and the partitioner (DistributedModule.cpp).
void AddDistributed(py::module_& m);

} // namespace python
} // namespace qvl3d

#endif
