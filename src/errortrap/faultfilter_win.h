#pragma once

namespace vantor {

// For the tests: takes the vectored handler out, so that faults reach the unhandled-exception
// filter alone (faultfilter_win.cpp).
void withoutVectoredHandler();

} // namespace vantor
