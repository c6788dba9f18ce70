#include "integerconversion.h"

#include "errortrap/runtimeerror.h"

#include <QLocale>

#include <cfenv>
#include <cmath>

namespace vantor::serial {

qint16 toInt16(const QString &text)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(value))
        throw RuntimeError(errors::TypeMismatch);
    const double rounded = std::nearbyint(value); // the default rounding mode: halves to even
    if (rounded < -32768.0 || rounded > 32767.0)
        throw RuntimeError(errors::Overflow);
    return qint16(rounded);
}

} // namespace vantor::serial
