// Umbrella header of the QVL3DTool library: the solver, the host objects it
// reads and their check, the front door, the communication objects and the
// support tools.
#ifndef QVL3D_QVL3DTOOL_H
#define QVL3D_QVL3DTOOL_H

#include <qvl3d/Communication.h>
#include <qvl3d/HostCheck.h>
#include <qvl3d/HostObjects.h>
#include <qvl3d/QVLFileIO.h>
#include <qvl3d/QVLLocale.h>
#include <qvl3d/QVLMemTool.h>
#include <qvl3d/QVLSystemErrorTool.h>
#include <qvl3d/QVLUnicodeTool.h>
#include <qvl3d/SingleGridSolver.h>
#include <qvl3d/Solve.h>

#endif
