#include "oscdecoder.h"

#include <oscpack/osc/OscReceivedElements.h>

#include <array>

namespace vantor::onair {

namespace {

using Field = LayerUpdate::Field;
constexpr std::size_t MaxArguments = 4; // the layer messages carry one or two

// Takes the leading "/word" off `rest`.
bool take(std::string_view &rest, std::string_view word)
{
    if (rest.size() < word.size() + 1 || rest[0] != '/' || rest.substr(1, word.size()) != word)
        return false;
    rest.remove_prefix(word.size() + 1);
    return true;
}

// Takes a leading "/N" (1 to 4 digits) off `rest`.
bool takeNumber(std::string_view &rest, int &number)
{
    if (rest.empty() || rest[0] != '/')
        return false;
    std::size_t digits = 0;
    number = 0;
    while (1 + digits < rest.size() && rest[1 + digits] >= '0' && rest[1 + digits] <= '9') {
        if (++digits > 4)
            return false;
        number = number * 10 + (rest[digits] - '0');
    }
    if (digits == 0)
        return false;
    rest.remove_prefix(1 + digits);
    return true;
}

struct Leaf
{
    std::string_view path;
    Field field;
};

// After /channel/C/stage/layer/L: the classic layout's leaves, then those of a side.
constexpr std::array<Leaf, 4> ClassicLeaves{{
    {"/file/path", Field::Path},
    {"/file/time", Field::Time},
    {"/file/frame", Field::Frame},
    {"/paused", Field::Paused},
}};
constexpr std::array<Leaf, 7> SideLeaves{{
    {"/file/name", Field::Name},
    {"/file/path", Field::Path},
    {"/file/time", Field::Time},
    {"/file/frame", Field::Frame},
    {"/frames_left", Field::FramesLeft},
    {"/paused", Field::Paused},
    {"/producer", Field::Producer},
}};

bool isText(Field f)
{
    return f == Field::Name || f == Field::Path || f == Field::Producer;
}

// Whether every element of the bundle at data fits inside it. oscpack adds 4 to each element's
// size in 32 bits, so a size of 0xFFFFFFFC would leave it reading the same element for ever.
bool elementsFit(const char *data, std::size_t size)
{
    constexpr std::size_t Head = 16; // "#bundle\0" and the time tag
    for (std::size_t at = Head; at < size;) {
        if (size - at < 4)
            return false;
        const auto *b = reinterpret_cast<const unsigned char *>(data + at);
        const std::size_t element = std::size_t(b[0]) << 24 | std::size_t(b[1]) << 16 | std::size_t(b[2]) << 8 | b[3];
        if (element > size - at - 4)
            return false;
        at += 4 + element;
    }
    return true;
}

// A bundle, once its elements are known to fit.
osc::ReceivedBundle bundleOf(const char *data, std::size_t size)
{
    if (!elementsFit(data, size))
        throw osc::MalformedBundleException("element past the bundle's end");
    return osc::ReceivedBundle(osc::ReceivedPacket(data, osc::osc_bundle_element_size_t(size)));
}

class Walker
{
public:
    explicit Walker(std::vector<LayerUpdate> &out)
        : m_out(out)
    {
    }

    OscDecoder::Result result;

    void packet(const osc::ReceivedPacket &p, int depth)
    {
        if (p.IsBundle())
            bundle(bundleOf(p.Contents(), std::size_t(p.Size())), depth);
        else
            message(osc::ReceivedMessage(p));
    }

private:
    void bundle(const osc::ReceivedBundle &b, int depth)
    {
        if (depth >= OscDecoder::MaxDepth) {
            ++result.cut;
            return;
        }
        for (auto e = b.ElementsBegin(); e != b.ElementsEnd(); ++e) {
            if (e->IsBundle())
                bundle(bundleOf(e->Contents(), std::size_t(e->Size())), depth + 1);
            else
                message(osc::ReceivedMessage(*e));
        }
    }

    void message(const osc::ReceivedMessage &m)
    {
        ++result.messages;
        std::array<OscDecoder::Argument, MaxArguments> args;
        std::size_t count = 0;
        for (auto a = m.ArgumentsBegin(); a != m.ArgumentsEnd() && count < MaxArguments; ++a) {
            OscDecoder::Argument &arg = args[count++];
            if (a->IsString()) {
                arg.isText = true;
                arg.text = a->AsStringUnchecked();
            } else if (a->IsInt32()) {
                arg.number = a->AsInt32Unchecked();
            } else if (a->IsInt64()) {
                arg.number = double(a->AsInt64Unchecked());
            } else if (a->IsFloat()) {
                arg.number = a->AsFloatUnchecked();
            } else if (a->IsDouble()) {
                arg.number = a->AsDoubleUnchecked();
            } else if (a->IsBool()) {
                arg.number = a->AsBoolUnchecked() ? 1 : 0;
            } else {
                return; // arrays, blobs, ...: no layer message carries them
            }
        }
        LayerUpdate u;
        bool cut = false;
        if (!OscDecoder::layerUpdate(m.AddressPattern(), args.data(), count, u, cut))
            return;
        if (m_out.size() >= OscDecoder::MaxUpdates) {
            ++result.cut;
            return;
        }
        result.cut += cut ? 1 : 0;
        m_out.push_back(std::move(u));
    }

    std::vector<LayerUpdate> &m_out;
};

} // namespace

bool OscDecoder::layerUpdate(std::string_view address, const Argument *args, std::size_t count, LayerUpdate &u,
                             bool &cut)
{
    std::string_view rest = address;
    if (!take(rest, "channel") || !takeNumber(rest, u.channel) || !take(rest, "stage") || !take(rest, "layer")
        || !takeNumber(rest, u.layer))
        return false;
    const Leaf *leaf = nullptr;
    u.layout = Layout::Classic;
    u.side = Side::Foreground;
    for (const Leaf &l : ClassicLeaves) {
        if (rest == l.path)
            leaf = &l;
    }
    if (!leaf) {
        if (take(rest, "foreground"))
            u.side = Side::Foreground;
        else if (take(rest, "background"))
            u.side = Side::Background;
        else
            return false;
        u.layout = Layout::Layered;
        for (const Leaf &l : SideLeaves) {
            if (rest == l.path)
                leaf = &l;
        }
    }
    if (!leaf || count == 0 || args[0].isText != isText(leaf->field))
        return false;
    u.field = leaf->field;
    if (args[0].isText) {
        cut = args[0].text.size() > ServerState::MaxText;
        u.text.assign(args[0].text.substr(0, ServerState::MaxText));
        return true;
    }
    u.first = args[0].number;
    u.second = count > 1 && !args[1].isText ? args[1].number : -1;
    return true;
}

OscDecoder::Result OscDecoder::decode(std::string_view datagram, std::vector<LayerUpdate> &out)
{
    out.clear();
    Walker walker(out);
    if (datagram.empty() || datagram.size() > MaxDatagram) {
        walker.result.wellFormed = false;
        return walker.result;
    }
    try {
        walker.packet(osc::ReceivedPacket(datagram.data(), osc::osc_bundle_element_size_t(datagram.size())), 0);
    } catch (const osc::Exception &) {
        walker.result.wellFormed = false;
    }
    return walker.result;
}

} // namespace vantor::onair
