// CQVLLocale: the host's locale library, as far as the file tool uses it.
#ifndef QVL3D_QVLLOCALE_H
#define QVL3D_QVLLOCALE_H

#include <qvl3d/QVLExport.h>

#include <string>

class QVL3D_EXPORT CQVLLocale {
public:
    CQVLLocale();
    ~CQVLLocale();

    // Name of the environment's default locale (LC_ALL, then the LC_*
    // variables, then LANG), in the form the standard locale constructor
    // accepts. "C" when the environment names a locale this system lacks.
    std::string GetSystemDefaultLocale() const;
};

#endif
