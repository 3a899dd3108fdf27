#pragma once

#include <QString>

namespace ElapsedTime {

// Whole seconds (truncated) as "mm:ss"; minutes go on past 59 ("100:00").
QString formatted(double seconds);

}
