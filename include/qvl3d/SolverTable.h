// The one table of the library's methods, preconditioners and layouts: what
// each is called (the word the command, the Python module and JSON use, and
// a name for people), which of CSingleGridSolver's codes it is, and the
// rules that go with it. The front door, the entry points' dispatch, the
// command and the module all read it; a new method, preconditioner or
// layout is one row here.
#ifndef QVL3D_SOLVERTABLE_H
#define QVL3D_SOLVERTABLE_H

#include <array>
#include <cstddef>
#include <optional>
#include <string>

namespace qvl3d {

enum class EMethod { BiCgStab, Cg, GaussSeidel, Gmres, Fgmres, Amg };

enum class EPreconditioner { Dilu, Diagonal, None, Ilu0, Amg };

// The layout the methods run on: compressed rows, the native neighbour
// rows, or slot-major ELL. They give the same bits when every row's entries
// are sorted by column; otherwise each layout sums in its own order.
enum class ELayout { Csr, Native, Ell };

struct CMethodInfo {
    EMethod id;
    const char* word;                      // --method, method=, "method" in JSON
    const char* name;                      // for people
    int designCode;                        // the entry points' solver code; kNoDesignCode: front door only
    bool takesPreconditioner;              // false: refused with any but none
    EPreconditioner defaultPreconditioner; // when none is named
    bool needsSymmetricPattern;            // refused on an entry (i, j) without (j, i)
    bool hasEllForm;                       // false: on the ELL layout it runs on the native rows
};

// The designCode of a method no entry point runs: the front door's alone.
constexpr int kNoDesignCode = 0;

inline constexpr CMethodInfo kMethods[] = {
    {EMethod::BiCgStab, "bicgstab", "BiCGSTAB", 2, true, EPreconditioner::Dilu, false, true},
    {EMethod::Cg, "pcg", "conjugate gradient", 3, true, EPreconditioner::Dilu, true, false},
    {EMethod::GaussSeidel, "gs", "Gauss-Seidel", 4, false, EPreconditioner::None, false, true},
    {EMethod::Gmres, "gmres", "GMRES", kNoDesignCode, true, EPreconditioner::Dilu, false, true},
    {EMethod::Fgmres, "fgmres", "flexible GMRES", kNoDesignCode, true, EPreconditioner::Dilu, false, true},
    {EMethod::Amg, "amg", "aggregation multigrid", kNoDesignCode, false, EPreconditioner::None, false, true},
};

// What a preconditioner reads besides the vector it is applied to: the
// preconditioner array (m_pdPrecondDiag), the work vector of its sweeps
// (m_pdPrecondWork), the rows' off-diagonal entries split by the diagonal
// (the native and ELL layouts' ordered slot lists).
struct CPreconditionerInfo {
    EPreconditioner id;
    const char* word; // --precond, preconditioner=, JSON
    const char* name;
    int designType; // element 0 of the store's m_piPrecondType; kNoDesignType: front door only
    bool readsArray;
    bool readsWork;
    bool readsSplitRows;
};

// The designType of a preconditioner no entry point runs: the front door's
// alone (ILU(0) is not the store's type 2, which stays empty).
constexpr int kNoDesignType = -1;

// Any design type not listed (2 among them) builds and applies nothing, as
// None does.
inline constexpr CPreconditionerInfo kPreconditioners[] = {
    {EPreconditioner::Dilu, "dilu", "DILU", 1, true, true, true},
    {EPreconditioner::Diagonal, "diagonal", "diagonal", 3, true, false, false},
    {EPreconditioner::None, "none", "none", 0, false, false, false},
    {EPreconditioner::Ilu0, "ilu0", "ILU(0)", kNoDesignType, false, true, true},
    {EPreconditioner::Amg, "amg", "aggregation multigrid", kNoDesignType, false, false, false},
};

struct CLayoutInfo {
    ELayout id;
    const char* word; // --layout, layout=, JSON
    const char* name;
    const char* entryPoint; // CSingleGridSolver's entry point for these rows
};

inline constexpr CLayoutInfo kLayouts[] = {
    {ELayout::Csr, "csr", "CSR", "Solver_CSR"},
    {ELayout::Native, "native", "native", "Solver"},
    {ELayout::Ell, "ell", "ELL", "Solver_ELL"},
};

// The entry points' solver codes: the method each runs and what it does to
// the store first. Any code not listed does nothing.
struct CSolverCodeInfo {
    int code;
    EMethod method;
    const char* name;
    bool forcesDiagonal;   // writes preconditioner type 3 into the store before it runs
    bool liftsNativeLimit; // through Solver (native rows) also the limit kLiftedLimit
    bool alwaysNative;     // runs on the native rows whichever entry point calls it
    bool servedByEll;      // false: Solver_ELL does nothing for it
};

inline constexpr CSolverCodeInfo kSolverCodes[] = {
    {2, EMethod::BiCgStab, "BiCGSTAB", false, false, false, true},
    {3, EMethod::Cg, "conjugate gradient", false, false, false, true},
    {4, EMethod::GaussSeidel, "Gauss-Seidel", false, false, false, true},
    {5, EMethod::BiCgStab, "BiCGSTAB, diagonal preconditioner", true, true, false, false},
    {6, EMethod::BiCgStab, "OpenMP-named BiCGSTAB, diagonal preconditioner", true, false, true, false},
};

// Every code's method is one the entry points run: a method of the front
// door alone has no design code, and so no solver code.
constexpr bool EveryCodeRunsAnEntryPointMethod()
{
    for (const CSolverCodeInfo& c : kSolverCodes)
        for (const CMethodInfo& m : kMethods)
            if (m.id == c.method && m.designCode == kNoDesignCode) return false;
    return true;
}
static_assert(EveryCodeRunsAnEntryPointMethod(), "a solver code names a method of the front door alone");

constexpr int kLiftedLimit = 1000000;
constexpr int kDiagonalType = 3; // the design type codes 5 and 6 write

// The row of an id, or null for a value outside the enumeration.
constexpr const CMethodInfo* Find(EMethod id)
{
    for (const CMethodInfo& m : kMethods)
        if (m.id == id) return &m;
    return nullptr;
}

constexpr const CPreconditionerInfo* Find(EPreconditioner id)
{
    for (const CPreconditionerInfo& p : kPreconditioners)
        if (p.id == id) return &p;
    return nullptr;
}

constexpr const CLayoutInfo* Find(ELayout id)
{
    for (const CLayoutInfo& l : kLayouts)
        if (l.id == id) return &l;
    return nullptr;
}

// The preconditioner a design type builds and applies: None for a type not
// listed.
constexpr const CPreconditionerInfo& OfDesignType(int type)
{
    for (const CPreconditionerInfo& p : kPreconditioners)
        if (p.designType == type && type != kNoDesignType) return p;
    return *Find(EPreconditioner::None);
}

// The row of a solver code, or null for a code that names no method.
constexpr const CSolverCodeInfo* FindSolverCode(int code)
{
    for (const CSolverCodeInfo& c : kSolverCodes)
        if (c.code == code) return &c;
    return nullptr;
}

// The row whose word is `word`, or null.
template <class Row, std::size_t N>
const Row* FindWord(const Row (&table)[N], const std::string& word)
{
    for (const Row& r : table)
        if (word == r.word) return &r;
    return nullptr;
}

// The ids of a table in its order: for (EMethod m : Ids(kMethods)).
template <class Row, std::size_t N>
constexpr auto Ids(const Row (&table)[N])
{
    std::array<decltype(table[0].id), N> ids{};
    for (std::size_t k = 0; k < N; ++k) ids[k] = table[k].id;
    return ids;
}

// "bicgstab, pcg, gs": the words of a table, for messages and help.
template <class Row, std::size_t N>
std::string Words(const Row (&table)[N], const char* separator = ", ")
{
    std::string list;
    for (const Row& r : table) list += (list.empty() ? "" : separator) + std::string(r.word);
    return list;
}

// The rows a method runs on when the layout is asked for: a method without
// an ELL form runs on the native rows.
constexpr ELayout RowsFor(EMethod method, ELayout layout)
{
    const CMethodInfo* m = Find(method);
    return layout == ELayout::Ell && m != nullptr && !m->hasEllForm ? ELayout::Native : layout;
}

// The rows a solver code runs on when called through the entry point of
// `entry`.
constexpr ELayout RowsForCode(const CSolverCodeInfo& code, ELayout entry)
{
    return code.alwaysNative ? ELayout::Native : RowsFor(code.method, entry);
}

// The preconditioner a method runs with when the caller named `given`
// (nothing: the method's default).
constexpr EPreconditioner PreconditionerFor(EMethod method, std::optional<EPreconditioner> given)
{
    const CMethodInfo* m = Find(method);
    return given ? *given : m != nullptr ? m->defaultPreconditioner : EPreconditioner::None;
}

// One bit per layout, for the sets of layouts a host builds or checks.
constexpr unsigned LayoutBit(ELayout layout)
{
    return 1u << static_cast<unsigned>(layout);
}

constexpr unsigned kAllLayouts = LayoutBit(ELayout::Csr) | LayoutBit(ELayout::Native) | LayoutBit(ELayout::Ell);

} // namespace qvl3d

#endif
