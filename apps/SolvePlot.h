// The residual history of a solve drawn as SVG, written by hand (no plotting
// dependency): the method's residual norm after every iteration on a log
// scale, the level the solver stops below (reference residual times the
// tolerance), and the method, layout and system in the title.
#ifndef QVL3D_APPS_SOLVEPLOT_H
#define QVL3D_APPS_SOLVEPLOT_H

#include "SolveProblem.h"
#include "SolveRun.h"

#include <string>
#include <vector>

namespace qvl3d {
namespace app {

// A line of values against 1, 2, ... on a log scale. Values that a log
// scale cannot show keep their place on the line: 0 on the lower edge, a
// value that is not finite on the upper one.
struct CLogPlot {
    std::vector<std::string> title; // one line each, the first larger
    std::string xLabel, yLabel;
    std::vector<double> values;
    double level = 0.0; // a dashed line at this value when positive and finite
    std::string levelLabel;
    std::string empty; // what the plot says when there are no values
};

std::string LogPlotSvg(const CLogPlot& plot);

std::string ResidualPlotSvg(const CProblem& problem, const CRunResult& result);

} // namespace app
} // namespace qvl3d

#endif
