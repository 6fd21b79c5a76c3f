// qvl3d-solve with the aggregation multigrid: the levels in the summary and
// the JSON, and the entry points' road refusing what only the front door
// runs.
#include "CommandRun.h"

#include <string>

using namespace qvl3d::test;

TEST_F(CommandTest, MultigridRunsThroughTheFrontDoorAndReportsItsLevels)
{
    const std::string json = Path("amg.json");
    CRun r = Run({"--problem", "poisson", "--grid", "16", "--method", "pcg", "--precond", "amg", "--json", json});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_HAS(r.out, "preconditioner aggregation multigrid");
    EXPECT_HAS(r.out, "  multigrid           ");
    const std::string text = ReadFile(json);
    EXPECT_HAS(text, "\"multigrid\": {\"aggregation\": \"smoothed\", \"levels\": ");
    EXPECT_HAS(text, "\"rows\": [4096, ");
    EXPECT_HAS(text, "\"operator_complexity\": 1.");
    EXPECT_HAS(text, "\"setup_from_update\": false}");

    r = Run({"--grid", "8", "--method", "amg", "--json", json});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_HAS(r.out, "method              aggregation multigrid, preconditioner none");
    r = Run({"--grid", "8", "--method", "bicgstab", "--json", json});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(json).find("\"multigrid\""), std::string::npos) << ReadFile(json);

    for (const char* option : {"--method", "--precond"}) {
        r = Run({"--grid", "8", option, "amg", "--entry-point"});
        EXPECT_EQ(r.status, 2) << option;
        ExpectOneLineReason(r, std::string(option) + " amg runs through the front door only");
    }
}
