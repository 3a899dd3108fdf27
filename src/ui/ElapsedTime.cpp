#include "ui/ElapsedTime.h"

#include <cmath>

namespace ElapsedTime {

QString formatted(double seconds)
{
    const long long whole = std::isfinite(seconds) && seconds > 0 ? static_cast<long long>(seconds) : 0;
    return QString::asprintf("%02lld:%02lld", whole / 60, whole % 60);
}

}
