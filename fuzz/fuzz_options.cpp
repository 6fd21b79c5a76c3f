// libFuzzer target: any bytes as the arguments of qvl3d-solve, split at NUL
// bytes. The parser accepts them or refuses them with a CUsageError, never
// anything else; what it accepts holds together; the file check refuses or
// passes; the suggestion for a misspelt option is always an option.
#include "SolveOptions.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace qvl3d::app;

namespace {

void Check(bool holds)
{
    if (!holds) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args(1);
    for (std::size_t k = 0; k < size; ++k) {
        if (data[k] == 0)
            args.emplace_back();
        else
            args.back() += static_cast<char>(data[k]);
    }
    try {
        const CCommandOptions o = ParseOptions(args);
        if (!o.help && !o.version) {
            Check(o.code >= 2 && o.code <= 6);
            Check(qvl3d::Find(o.precond) != nullptr);
            Check(!o.entryPoint || qvl3d::Find(o.precond)->designType != qvl3d::kNoDesignType);
            Check(o.code != 4 || o.precond == qvl3d::EPreconditioner::None);
            Check(o.tolerance > 0.0 && std::isfinite(o.tolerance));
            Check(o.maxIter >= 0 && o.repeat >= 1 && o.repeat <= 1000);
            Check(o.progress == 0 || o.code == 3);
            Check(o.box.Cells() >= 1 && o.box.Cells() <= 100000000LL);
            Check(std::isfinite(o.flow.vx) && std::isfinite(o.flow.vy) && std::isfinite(o.flow.vz));
            Check(o.flow.peclet > 0.0 && std::isfinite(o.flow.peclet));
            Check(o.problem != EProblem::MatrixFile || !o.matrixFile.empty());
            try {
                CheckFiles(o);
            } catch (const CUsageError&) {
            }
        }
    } catch (const CUsageError& e) {
        Check(e.what()[0] != '\0');
    }
    for (const std::string& a : args) {
        const std::string nearest = NearestOption(a);
        Check(nearest.size() > 2 && nearest.compare(0, 2, "--") == 0);
    }
    return 0;
}
