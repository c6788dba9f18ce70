#pragma once

#include <QStringView>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantor::app {

// A text shown on the status page, in a fixed array so that copying it allocates nothing (the
// page's readers copy the recent firings under a short lock). Holds what pageText() made.
template <std::size_t Capacity>
struct PageText
{
    static_assert(Capacity < 65536);
    std::uint16_t size = 0;
    std::array<char, Capacity> bytes{};

    // text must fit (pageText(..., Capacity) does); a longer one is cut to Capacity.
    void assign(std::string_view text)
    {
        size = std::uint16_t(std::min(text.size(), Capacity));
        text.copy(bytes.data(), size);
    }
    std::string_view view() const { return {bytes.data(), size}; }
};

// text as the status page shows it: UTF-8 of at most maxBytes (at least 3), cut before a whole
// character with "…" at the end when longer. Control characters and the characters that reorder
// what follows them (bidirectional overrides and isolates) become U+FFFD, so a name that comes
// from outside can neither break a line nor make the text around it read backwards.
std::string pageText(QStringView text, std::size_t maxBytes);

} // namespace vantor::app
