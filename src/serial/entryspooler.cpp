#include "portspooler.h"

#include <cstdlib>
#include <cstring>

namespace vantor::serial {

namespace {

class EntrySpooler : public PortSpooler
{
public:
    explicit EntrySpooler(PortEnumerator enumerate)
        : m_enumerate(std::move(enumerate))
    {
    }

    // A call that cannot write the records asks the system again; one that can writes what
    // the last asking found, as the printing subsystem writes what it has when the buffer fits.
    bool enumPorts(const QByteArray &, quint32 level, void *buffer, quint32 size, quint32 &needed,
                   quint32 &returned) override
    {
        returned = 0;
        if (level != Level)
            return false;
        if (!m_asked || buffer == nullptr || size < bytesNeeded()) {
            m_entries = m_enumerate ? m_enumerate() : std::vector<PortEntry>();
            m_asked = true;
        }
        needed = bytesNeeded();
        if (buffer == nullptr || size < needed)
            return false;
        auto *records = static_cast<PortInfo2 *>(buffer);
        char *text = static_cast<char *>(buffer) + m_entries.size() * sizeof(PortInfo2);
        auto place = [&text](const QByteArray &t) -> char * {
            if (t.isNull())
                return nullptr;
            char *at = text;
            std::memcpy(at, t.constData(), std::size_t(t.size()) + 1);
            text += t.size() + 1;
            return at;
        };
        for (std::size_t i = 0; i < m_entries.size(); ++i) {
            const PortEntry &e = m_entries[i];
            records[i] = PortInfo2{place(e.name), place(e.monitor), place(e.description), e.type, 0};
        }
        returned = quint32(m_entries.size());
        return true;
    }

    void *heapAlloc(std::size_t bytes) override { return std::malloc(bytes); }
    void heapFree(void *block) override { std::free(block); }

private:
    quint32 bytesNeeded() const
    {
        std::size_t bytes = m_entries.size() * sizeof(PortInfo2);
        for (const PortEntry &e : m_entries) {
            for (const QByteArray *t : {&e.name, &e.monitor, &e.description})
                bytes += t->isNull() ? 0 : std::size_t(t->size()) + 1;
        }
        return quint32(bytes);
    }

    PortEnumerator m_enumerate;
    std::vector<PortEntry> m_entries; // found by the last asking
    bool m_asked = false;
};

} // namespace

std::unique_ptr<PortSpooler> makeEntrySpooler(PortEnumerator enumerate)
{
    return std::make_unique<EntrySpooler>(std::move(enumerate));
}

} // namespace vantor::serial
