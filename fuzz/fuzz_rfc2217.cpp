// libFuzzer target: whatever a network serial server sends, the client's Telnet parser and
// Com Port session neither crash nor hang nor grow without bound, and the parser reads a
// stream the same however it is cut into reads. The same stream, as a client's, neither makes
// the server's session answer without bound.
#include "serial/rfc2217/rfc2217codec.h"
#include "serial/rfc2217/rfc2217server.h"
#include "serial/rfc2217/rfc2217session.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

using namespace vantor::serial::rfc2217;

namespace {

void check(bool ok)
{
    if (!ok)
        std::abort();
}

std::vector<TelnetItem> merged(std::vector<TelnetItem> items)
{
    std::vector<TelnetItem> out;
    for (auto &item : items) {
        if (item.kind == TelnetItem::Kind::Data && !out.empty() && out.back().kind == TelnetItem::Kind::Data)
            out.back().bytes += item.bytes;
        else
            out.push_back(std::move(item));
    }
    return out;
}

class AnyPort : public PortControl
{
public:
    std::uint32_t setBaudRate(std::uint32_t b) override { return b; }
    std::uint8_t setDataSize(std::uint8_t v) override { return v; }
    std::uint8_t setParity(std::uint8_t v) override { return v; }
    std::uint8_t setStopSize(std::uint8_t v) override { return v; }
    std::uint8_t setControl(std::uint8_t v) override { return v; }
    void purge(std::uint8_t) override {}
    std::uint8_t modemLevels() const override { return 0x30; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses how the stream is cut into reads and the parser's CR mode.
    const std::size_t chunk = (data[0] & 0x3f) + 1;
    const bool nvtCr = data[0] & 0x40;
    const std::string_view stream(reinterpret_cast<const char *>(data + 1), size - 1);

    TelnetParser whole;
    whole.setNvtCarriageReturn(nvtCr);
    std::vector<TelnetItem> once;
    whole.feed(stream, once);
    TelnetParser cut;
    cut.setNvtCarriageReturn(nvtCr);
    std::vector<TelnetItem> pieces;
    std::size_t dataBytes = 0;
    for (std::size_t at = 0; at < stream.size(); at += chunk)
        cut.feed(stream.substr(at, chunk), pieces);
    check(merged(once) == merged(pieces));
    for (const auto &item : once) {
        dataBytes += item.bytes.size();
        check(item.kind != TelnetItem::Kind::Subnegotiation || item.bytes.size() <= TelnetParser::MaxSubnegotiation);
    }
    check(dataBytes <= stream.size());

    Rfc2217Session session{PortParameters{}};
    std::size_t sent = session.start().size();
    std::size_t events = 0;
    std::size_t notices = 0;
    bool faulted = false;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        Rfc2217Session::Output out;
        session.receive(stream.substr(at, chunk), out);
        session.watchChanges(); // the first read is the server's answer to the mask
        if (at >= stream.size() / 2)
            session.settle(out);
        if (at % 7 == 0)
            session.flushRepeats(out);
        check(!faulted || (out.reply.empty() && out.events.empty() && out.notices.empty()));
        faulted = faulted || !out.fault.empty();
        check(faulted == session.faulted());
        sent += out.reply.size();
        events += out.events.size();
        notices += out.notices.size();
        for (const auto &e : out.events)
            check(e.data.size() <= chunk);
    }
    // No exchange can loop: apart from the settings (sent at most once per agreement of the
    // Com Port option, and the server may ask for that MaxRequests times) and our signature
    // (at most MaxRequests times), no byte in brings more than one byte out. At most four line
    // changes (two edges each) per byte in; the port-log lines are bounded by the limits.
    check(sent <= stream.size() + 1024);
    check(events <= 8 * stream.size() + 8);
    check(notices <= 256);
    (void)session.encodeData(stream);

    // Each command of a client brings at most one answer and the present state: its bytes
    // (the signature the longest) stay within a fixed number per byte in.
    AnyPort port;
    Rfc2217ServerSession server(port, "fuzzed server");
    std::size_t answered = 0;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        Rfc2217ServerSession::Output out;
        server.receive(stream.substr(at, chunk), out);
        answered += out.reply.size();
        check(out.data.size() <= chunk && out.clientSignature.size() <= 80);
        answered += server.modemState(std::uint8_t(at)).size();
    }
    check(answered <= 16 * stream.size() + 16);
    return 0;
}
