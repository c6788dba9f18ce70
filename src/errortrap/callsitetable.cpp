#include "callsitetable.h"

namespace vantor {

namespace {

// DWARF pointer encodings, as the exception data uses them.
constexpr unsigned char Omit = 0xff;
constexpr unsigned char FormatMask = 0x0f;
constexpr unsigned char Absolute = 0x00;
constexpr unsigned char Uleb128 = 0x01;
constexpr unsigned char Udata2 = 0x02;
constexpr unsigned char Udata4 = 0x03;
constexpr unsigned char Udata8 = 0x04;
constexpr unsigned char Sleb128 = 0x09;
constexpr unsigned char Sdata2 = 0x0a;
constexpr unsigned char Sdata4 = 0x0b;
constexpr unsigned char Sdata8 = 0x0c;

const unsigned char *readUleb128(const unsigned char *p, std::uintptr_t &value)
{
    value = 0;
    unsigned shift = 0;
    unsigned char byte;
    do {
        byte = *p++;
        if (shift < 8 * sizeof value)
            value |= std::uintptr_t(byte & 0x7f) << shift;
        shift += 7;
    } while (byte & 0x80);
    return p;
}

template <class T>
const unsigned char *readFixed(const unsigned char *p, std::uintptr_t &value)
{
    T raw = 0;
    for (unsigned i = 0; i < sizeof raw; ++i)
        raw = T(raw | T(T(p[i]) << (8 * i))); // little-endian, as on every target this runs on
    value = std::uintptr_t(raw);
    return p + sizeof raw;
}

// Reads one value of the given encoding's format; nullptr for a format it does not know.
const unsigned char *readEncoded(const unsigned char *p, unsigned char encoding, std::uintptr_t &value)
{
    switch (encoding & FormatMask) {
    case Absolute: return readFixed<std::uintptr_t>(p, value);
    case Uleb128:
    case Sleb128: return readUleb128(p, value); // sizes are never negative
    case Udata2:
    case Sdata2: return readFixed<std::uint16_t>(p, value);
    case Udata4:
    case Sdata4: return readFixed<std::uint32_t>(p, value);
    case Udata8:
    case Sdata8: return readFixed<std::uint64_t>(p, value);
    default: return nullptr;
    }
}

} // namespace

bool inCallSiteTable(const unsigned char *lsda, std::uintptr_t regionStart, std::uintptr_t ip) noexcept
{
    const unsigned char *p = lsda;
    std::uintptr_t ignored = 0;
    const unsigned char landingPadStartEncoding = *p++;
    if (landingPadStartEncoding != Omit && (p = readEncoded(p, landingPadStartEncoding, ignored)) == nullptr)
        return false;
    const unsigned char typeTableEncoding = *p++;
    if (typeTableEncoding != Omit)
        p = readUleb128(p, ignored);
    const unsigned char callSiteEncoding = *p++;
    if ((callSiteEncoding & ~FormatMask) != 0) // call-site offsets are plain numbers
        return false;
    std::uintptr_t tableLength = 0;
    p = readUleb128(p, tableLength);
    const unsigned char *const end = p + tableLength;
    while (p < end) {
        std::uintptr_t start = 0;
        std::uintptr_t length = 0;
        std::uintptr_t landingPad = 0;
        std::uintptr_t action = 0;
        if ((p = readEncoded(p, callSiteEncoding, start)) == nullptr
            || (p = readEncoded(p, callSiteEncoding, length)) == nullptr
            || (p = readEncoded(p, callSiteEncoding, landingPad)) == nullptr)
            return false;
        p = readUleb128(p, action);
        if (ip < regionStart + start)
            return false; // the table is sorted: ip lies in a gap
        if (ip < regionStart + start + length)
            return true;
    }
    return false;
}

} // namespace vantor
