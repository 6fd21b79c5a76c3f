// Umbrella header of the QVL3DTool library: the solver, the host objects it
// reads and their check, the front door, the communication objects and the
// support tools.
#ifndef QVL3D_QVL3DTOOL_H
#define QVL3D_QVL3DTOOL_H

#include "Communication.h"
#include "HostCheck.h"
#include "HostObjects.h"
#include "QVLFileIO.h"
#include "QVLLocale.h"
#include "QVLMemTool.h"
#include "QVLSystemErrorTool.h"
#include "QVLUnicodeTool.h"
#include "SingleGridSolver.h"
#include "Solve.h"

#endif
