// Every real matrix of the shared collection: read, checked against its
// manifest, validated in all three layouts, and solved where the method
// suits it, with the error against x = 1 reported.
#include "MatrixMarket.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

using namespace qvl3d;
using namespace qvl3d::host;
using namespace qvl3d::test;

namespace {

std::string MatrixDir()
{
    const char* dir = std::getenv("QVL3D_MATRICES");
    return dir ? dir : QVL3D_MATRICES_DEFAULT;
}

struct CManifestRow {
    int rows = 0;
    long long nnzFull = 0;
};

std::map<std::string, CManifestRow> Manifest()
{
    std::map<std::string, CManifestRow> rows;
    std::ifstream in(MatrixDir() + "/manifest.csv");
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream s(line);
        for (std::string cell; std::getline(s, cell, ',');) f.push_back(cell);
        if (f.size() < 19) continue;
        // Count from the end: the collection name may hold commas.
        rows[f[0]] = {std::stoi(f[f.size() - 17]), std::stoll(f[f.size() - 16])};
    }
    return rows;
}

struct CSolved {
    double relResidual, maxError;
    int sums, iterCount;
};

CSolved Solve(const CSparseMatrix& A, ELayout layout, int code, int precond, int maxIter, double tol)
{
    CBoundSystem sys(A, 1);
    sys.host.SetVariable(0, maxIter, tol);
    sys.host.SetPreconditioner(precond);
    double* x = sys.host.NewVector();
    std::vector<double> b = RhsForOnes(A);
    CaptureStdout([&] { sys.Solve(layout, 0, code, x, b.data()); });
    std::vector<double> ax(b.size());
    Multiply(A, x, ax.data());
    double rr = 0.0, bb = 0.0, err = 0.0;
    for (int i = 1; i <= A.nCell; ++i) {
        rr += (b[i] - ax[i]) * (b[i] - ax[i]);
        bb += b[i] * b[i];
        err = std::max(err, std::fabs(x[i] - 1.0));
        if (!std::isfinite(x[i])) err = NAN;
    }
    return {std::sqrt(rr / bb), err, sys.transport->Count("Sum"), sys.host.store.m_piIterCount[0]};
}

} // namespace

TEST(RealMatrices, EveryFileIsReadAsTheManifestSaysAndValidates)
{
    const std::map<std::string, CManifestRow> manifest = Manifest();
    ASSERT_GE(manifest.size(), 9u) << "manifest.csv not found under " << MatrixDir();
    for (const auto& [file, row] : manifest) {
        CMatrixMarketInfo info;
        const CSparseMatrix A = ReadMatrixMarket(MatrixDir() + "/" + file, &info);
        EXPECT_EQ(A.nCell, row.rows) << file;
        EXPECT_EQ(A.NonZeros(), row.nnzFull) << file;
        CHostSystem host(A, 1);
        const CValidationReport report = host.Validate();
        EXPECT_TRUE(report.Ok()) << file << ":\n" << report.Text();
    }
}

TEST(RealMatrices, GaussSeidelSolvesTheGridMatricesItSuits)
{
    // The manifest's sweep counts: 713, 997 and 245 to 1e-8.
    for (const char* file : {"lap3D_7pt_n20.mtx", "gr_30_30.mtx", "pde900.mtx"}) {
        const CSparseMatrix A = ReadMatrixMarket(MatrixDir() + "/" + file);
        for (ELayout layout : {ELayout::Native, ELayout::Csr, ELayout::Ell}) {
            const CSolved s = Solve(A, layout, 4, 0, 3000, 1e-9);
            EXPECT_LT(s.relResidual, 1e-8) << file << " " << LayoutName(layout);
            EXPECT_LT(s.maxError, 1e-6) << file << " " << LayoutName(layout);
            RecordProperty(std::string(file) + "_gs_" + LayoutName(layout) + "_max_error", std::to_string(s.maxError));
        }
    }
}

TEST(RealMatrices, GaussSeidelStopsAtItsLimitOnTheDivergingOnes)
{
    for (const char* file : {"sherman5.mtx", "watt_2.mtx"}) {
        const CSparseMatrix A = ReadMatrixMarket(MatrixDir() + "/" + file);
        const CSolved s = Solve(A, ELayout::Csr, 4, 0, 60, 1e-8);
        EXPECT_EQ(s.sums, 60) << file;
        EXPECT_FALSE(s.relResidual < 1e-8) << file;
    }
}

TEST(RealMatrices, BiCgStabSolvesTheSuitableOnesAndStopsGracefullyOnTheHardOnes)
{
    // DILU, tolerance relative to the first iteration's residual; the true
    // relative residual must meet 1e-8 with room for the recurrence's drift.
    for (const char* file : {"lap3D_7pt_n20.mtx", "gr_30_30.mtx", "nos6.mtx", "sherman1.mtx", "orsreg_1.mtx",
                             "pde900.mtx", "sherman5.mtx"}) {
        const CSparseMatrix A = ReadMatrixMarket(MatrixDir() + "/" + file);
        for (ELayout layout : {ELayout::Native, ELayout::Csr, ELayout::Ell}) {
            const CSolved s = Solve(A, layout, 2, 1, 1000, 1e-10);
            EXPECT_LT(s.relResidual, 1e-8) << file << " " << LayoutName(layout);
            EXPECT_LT(s.maxError, 1e-3) << file << " " << LayoutName(layout);
            std::printf("%-18s %-6s BiCGSTAB+DILU: %3d iterations, relres %.2e, max |x-1| %.2e\n", file,
                        LayoutName(layout), s.iterCount, s.relResidual, s.maxError);
        }
    }
    for (const char* file : {"nos7.mtx", "watt_2.mtx"}) {
        const CSparseMatrix A = ReadMatrixMarket(MatrixDir() + "/" + file);
        const CSolved s = Solve(A, ELayout::Csr, 2, 1, 500, 1e-8);
        EXPECT_LE(s.iterCount, 500) << file;
        std::printf("%-18s BiCGSTAB+DILU: stopped after %d iterations, relres %.2e\n", file, s.iterCount,
                    s.relResidual);
    }
}

TEST(RealMatrices, ConjugateGradientSolvesTheSpdOnes)
{
    for (const char* file : {"lap3D_7pt_n20.mtx", "gr_30_30.mtx", "nos6.mtx"}) {
        const CSparseMatrix A = ReadMatrixMarket(MatrixDir() + "/" + file);
        for (ELayout layout : {ELayout::Native, ELayout::Csr}) {
            const CSolved s = Solve(A, layout, 3, 1, 1000, 1e-10);
            EXPECT_LT(s.relResidual, 1e-8) << file << " " << LayoutName(layout);
            std::printf("%-18s %-6s PCG+DILU: relres %.2e, max |x-1| %.2e\n", file, LayoutName(layout), s.relResidual,
                        s.maxError);
        }
    }
}
