#include "amcpreplies.h"

namespace vantor::playout {

namespace {

// The three-digit code at the start of a status line, or -1.
int statusCode(const QByteArray &line)
{
    if (line.size() < 3)
        return -1;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        const char c = line[i];
        if (c < '0' || c > '9')
            return -1;
        code = code * 10 + (c - '0');
    }
    if (line.size() > 3 && line[3] != ' ')
        return -1;
    return code;
}

} // namespace

void AmcpReplies::reset()
{
    m_partial.clear();
    m_expect = Expect::Status;
    m_owed = 0;
    m_framingOurs = false;
}

void AmcpReplies::sent(int commands)
{
    m_owed += qMax(0, commands);
}

QByteArrayList AmcpReplies::feed(const QByteArray &bytes)
{
    QByteArrayList failures;
    for (Reply &reply : read(bytes)) {
        if (reply.failed())
            failures.append(std::move(reply.line));
    }
    return failures;
}

QList<AmcpReplies::Reply> AmcpReplies::read(const QByteArray &bytes)
{
    QList<Reply> replies;
    qsizetype from = 0;
    while (from < bytes.size()) {
        const qsizetype lf = bytes.indexOf('\n', from);
        const qsizetype end = lf < 0 ? bytes.size() : lf;
        const qsizetype room = MaxLine - m_partial.size();
        m_partial.append(bytes.constData() + from, qMin(end - from, room));
        if (lf < 0)
            break;
        if (m_partial.endsWith('\r'))
            m_partial.chop(1);
        takeLine(std::exchange(m_partial, {}), replies);
        from = lf + 1;
    }
    return replies;
}

void AmcpReplies::takeLine(QByteArray line, QList<Reply> &replies)
{
    const int code = statusCode(line);
    if (m_expect != Expect::Status) {
        const bool unfinished = code >= 0 && (m_framingOurs || m_owed > 0);
        if (!unfinished) {
            if (m_expect != Expect::DataBlock || line.isEmpty())
                m_expect = Expect::Status;
            return;
        }
        // The reply in progress was left unfinished: this line begins the next one.
    }

    m_framingOurs = m_owed > 0;
    if (m_owed > 0)
        --m_owed;
    if (code == 200)
        m_expect = Expect::DataBlock;
    else if (code == 201)
        m_expect = Expect::DataLine;
    else if (code == 400)
        m_expect = Expect::Echo;
    else
        m_expect = Expect::Status;
    replies.append(Reply{code, std::move(line)});
}

} // namespace vantor::playout
