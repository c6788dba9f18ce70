#pragma once

#include <QString>

namespace vantor::serial {

// Text to a 16-bit signed integer the way the classic CInt does it: blanks around the number
// are allowed, a fraction is rounded to the nearest whole number with halves to the even
// neighbour. Throws RuntimeError 13 "Type mismatch" for a text that is not a number and
// 6 "Overflow" outside -32768 to 32767.
qint16 toInt16(const QString &text);

} // namespace vantor::serial
