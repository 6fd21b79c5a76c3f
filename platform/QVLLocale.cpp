#include <qvl3d/QVLLocale.h>

#include <locale>
#include <stdexcept>

CQVLLocale::CQVLLocale() = default;
CQVLLocale::~CQVLLocale() = default;

std::string CQVLLocale::GetSystemDefaultLocale() const
{
    try {
        return std::locale("").name();
    } catch (const std::runtime_error&) {
        return "C"; // as the C library does when the environment's locale is missing
    }
}
