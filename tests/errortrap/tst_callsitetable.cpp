// Reading g++'s call-site tables: an address inside a region passes, one in a gap does not.
#include "errortrap/callsitetable.h"

#include <QtTest>

#include <vector>

using vantor::inCallSiteTable;

namespace {

constexpr std::uintptr_t Function = 0x401000;

// Header (landing-pad start omitted, no type table unless asked), then the regions
// {start, length, landing pad} with action 0, in uleb128 or udata4.
std::vector<unsigned char> table(unsigned char encoding, std::initializer_list<std::array<unsigned, 3>> regions,
                                 bool withTypeTable = false)
{
    std::vector<unsigned char> body;
    for (const auto &region : regions) {
        for (const unsigned value : region) {
            if (encoding == 0x01) {
                unsigned v = value;
                do {
                    const unsigned char byte = v & 0x7f;
                    v >>= 7;
                    body.push_back(v != 0 ? byte | 0x80 : byte);
                } while (v != 0);
            } else {
                for (int i = 0; i < 4; ++i)
                    body.push_back((value >> (8 * i)) & 0xff);
            }
        }
        body.push_back(0); // action
    }
    std::vector<unsigned char> lsda{0xff};
    if (withTypeTable) {
        lsda.push_back(0x9b); // indirect pcrel sdata4
        lsda.push_back(0x85); // type table offset 0x105, two bytes of uleb128
        lsda.push_back(0x02);
    } else {
        lsda.push_back(0xff);
    }
    lsda.push_back(encoding);
    lsda.push_back(static_cast<unsigned char>(body.size()));
    lsda.insert(lsda.end(), body.begin(), body.end());
    return lsda;
}

} // namespace

class TestCallSiteTable : public QObject
{
    Q_OBJECT

private slots:
    void findsRegionsAndGaps_data();
    void findsRegionsAndGaps();
    void refusesWhatItCannotRead();
    void emptyTableIsAllGap();
};

void TestCallSiteTable::findsRegionsAndGaps_data()
{
    QTest::addColumn<int>("encoding");
    QTest::addColumn<bool>("withTypeTable");
    QTest::newRow("uleb128") << 0x01 << false;
    QTest::newRow("udata4") << 0x03 << false;
    QTest::newRow("uleb128 after a type table") << 0x01 << true;
}

void TestCallSiteTable::findsRegionsAndGaps()
{
    QFETCH(int, encoding);
    QFETCH(bool, withTypeTable);
    // A cleanup region, a gap (say a noexcept body inlined), a region without landing pad,
    // and a long region whose numbers need two uleb128 bytes.
    const auto lsda = table(static_cast<unsigned char>(encoding),
                            {{{0x10, 0x08, 0x40}}, {{0x20, 0x10, 0}}, {{0x100, 0x200, 0x400}}}, withTypeTable);
    const auto covered = [&](std::uintptr_t offset) {
        return inCallSiteTable(lsda.data(), Function, Function + offset);
    };
    QVERIFY(!covered(0x00));
    QVERIFY(!covered(0x0f));
    QVERIFY(covered(0x10));
    QVERIFY(covered(0x17));
    QVERIFY(!covered(0x18));
    QVERIFY(!covered(0x1f));
    QVERIFY(covered(0x20));
    QVERIFY(covered(0x2f));
    QVERIFY(!covered(0x30));
    QVERIFY(covered(0x100));
    QVERIFY(covered(0x2ff));
    QVERIFY(!covered(0x300));
    QVERIFY(!inCallSiteTable(lsda.data(), Function, Function - 1));
}

void TestCallSiteTable::refusesWhatItCannotRead()
{
    auto lsda = table(0x01, {{{0x10, 0x08, 0}}});
    lsda[2] = 0x11; // pc-relative call-site offsets: never written by g++
    QVERIFY(!inCallSiteTable(lsda.data(), Function, Function + 0x10));
    lsda[2] = 0x07; // no such format
    QVERIFY(!inCallSiteTable(lsda.data(), Function, Function + 0x10));
}

void TestCallSiteTable::emptyTableIsAllGap()
{
    const auto lsda = table(0x01, {}); // what a noexcept function gets
    QVERIFY(!inCallSiteTable(lsda.data(), Function, Function));
    QVERIFY(!inCallSiteTable(lsda.data(), Function, Function + 0x20));
}

QTEST_APPLESS_MAIN(TestCallSiteTable)
#include "tst_callsitetable.moc"
