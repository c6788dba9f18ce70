#pragma once

#include "onairstate.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// One OSC datagram of a playout server to the layer messages it carries. Plain C++, no Qt:
// oscpack reads the datagram in place (a message or a bundle, bundles within bundles up to
// MaxDepth), without allocating; only the layer messages this program reads become updates,
// at most MaxUpdates per datagram, their texts cut to ServerState::MaxText. Everything else
// the server says (mixer, output, profiler, ...) is passed over.
namespace vantor::onair {

class OscDecoder
{
public:
    static constexpr std::size_t MaxDatagram = 65536; // beyond any UDP datagram
    static constexpr int MaxDepth = 4;
    static constexpr std::size_t MaxUpdates = 512;

    struct Result
    {
        bool wellFormed = true;   // false: oscpack refused it (what came before stays)
        std::size_t messages = 0; // every message read, layer message or not
        std::size_t cut = 0;      // texts cut to MaxText, updates past MaxUpdates, bundles too deep
    };

    // Appends the datagram's layer messages to `out` (cleared first).
    static Result decode(std::string_view datagram, std::vector<LayerUpdate> &out);

    // The layer message an OSC address and its arguments stand for, if it is one. The
    // arguments are read as numbers (int32, int64, float, double, true/false) or texts.
    struct Argument
    {
        bool isText = false;
        double number = 0;
        std::string_view text;
    };
    static bool layerUpdate(std::string_view address, const Argument *args, std::size_t count, LayerUpdate &out,
                            bool &cut);
};

} // namespace vantor::onair
