// Symbol visibility for the libraries of this package. Everything is hidden
// by default; classes marked QVL3D_EXPORT form the binary interface.
#ifndef QVL3D_QVLEXPORT_H
#define QVL3D_QVLEXPORT_H

#if defined(_WIN32)
#define QVL3D_EXPORT __declspec(dllexport)
#elif defined(__GNUC__)
#define QVL3D_EXPORT __attribute__((visibility("default")))
#else
#define QVL3D_EXPORT
#endif

#endif
