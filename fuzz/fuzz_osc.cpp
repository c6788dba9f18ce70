// libFuzzer target: whatever a sender puts in a datagram, the OSC decoder and a server's state
// neither crash nor hang nor grow beyond their bounds, and decoding is the same every time.
#include "onair/oscdecoder.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

using namespace vantor::onair;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view datagram(reinterpret_cast<const char *>(data), size);
    std::vector<LayerUpdate> updates;
    const OscDecoder::Result first = OscDecoder::decode(datagram, updates);
    check(updates.size() <= OscDecoder::MaxUpdates);
    check(first.messages <= size / 4 + 1);
    for (const LayerUpdate &u : updates) {
        check(u.text.size() <= ServerState::MaxText);
        check(u.channel >= 0 && u.channel <= 9999 && u.layer >= 0 && u.layer <= 9999);
    }
    std::vector<LayerUpdate> again;
    const OscDecoder::Result second = OscDecoder::decode(datagram, again);
    check(second.wellFormed == first.wellFormed && second.messages == first.messages && again.size() == updates.size());

    // The same datagram, over and over, from a server of at most 4 layers.
    ServerState state(4);
    TimePoint at = TimePoint{} + std::chrono::hours(1);
    for (int i = 0; i < 8; ++i) {
        at += std::chrono::milliseconds(data && size ? data[0] * 10 : 40);
        state.apply(updates, at);
        check(state.layers().size() <= 4);
        for (const LayerState &l : state.layers()) {
            for (const Playing *p : {&l.foreground, &l.background})
                check(p->name.size() <= ServerState::MaxText && p->path.size() <= ServerState::MaxText
                      && p->producer.size() <= ServerState::MaxText);
            const LayerView view = viewOf(state, l.channel, l.layer);
            (void)view.plays(Side::Foreground);
            (void)view.plays(Side::Background);
        }
    }
    return 0;
}
