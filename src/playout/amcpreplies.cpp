#include "amcpreplies.h"

#include <array>

namespace vantor::playout {

namespace {

// The verbs of the commands this program sends: a reply naming one of them names its command.
constexpr std::array<QByteArrayView, 5> OurVerbs{"PLAY", "LOADBG", "STOP", "CLEAR", "PING"};

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

bool isOurVerb(const QByteArray &word)
{
    for (const QByteArrayView verb : OurVerbs) {
        if (word == verb)
            return true;
    }
    return false;
}

// The first word of a line, upper case.
QByteArray firstWord(const QByteArray &line)
{
    const qsizetype space = line.indexOf(' ');
    return (space < 0 ? line : line.left(space)).toUpper();
}

} // namespace

QByteArray AmcpReplies::verbOf(const QByteArray &statusLine)
{
    return firstWord(statusLine.mid(4));
}

void AmcpReplies::reset()
{
    m_partial.clear();
    m_expect = Expect::Status;
    m_owed.clear();
    m_framingOurs = false;
    m_echoOf.clear();
    m_broken = false;
}

void AmcpReplies::sent(int commands)
{
    for (int i = 0; i < commands; ++i)
        m_owed.emplace_back();
}

void AmcpReplies::sent(QByteArrayView verb)
{
    m_owed.emplace_back(verb.toByteArray().toUpper());
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
    while (from < bytes.size() && !m_broken) {
        const qsizetype lf = bytes.indexOf('\n', from);
        const qsizetype end = lf < 0 ? bytes.size() : lf;
        const qsizetype room = MaxLine - m_partial.size();
        m_partial.append(bytes.constData() + from, qMin(end - from, room));
        if (lf < 0)
            break;
        if (m_partial.endsWith('\r'))
            m_partial.chop(1);
        m_broken = !takeLine(std::exchange(m_partial, {}), replies);
        from = lf + 1;
    }
    return replies;
}

bool AmcpReplies::takeLine(QByteArray line, QList<Reply> &replies)
{
    const int code = statusCode(line);
    const bool pongForPing = line == "PONG" && !m_owed.empty() && m_owed.front() == "PING";
    if (m_expect != Expect::Status) {
        const bool unfinished = (code >= 0 && (m_framingOurs || !m_owed.empty())) || pongForPing;
        if (!unfinished) {
            if (m_expect == Expect::Echo && !m_echoOf.isEmpty() && firstWord(line) != m_echoOf) {
                replies.append(Reply{-1, std::move(line), false, Fault::WrongEcho});
                return false;
            }
            if (m_expect != Expect::DataBlock || line.isEmpty())
                m_expect = Expect::Status;
            return true;
        }
        // The reply in progress was left unfinished: this line begins the next one.
    }
    replies.append(startReply(code, std::move(line)));
    return replies.last().fault == Fault::None;
}

AmcpReplies::Reply AmcpReplies::startReply(int code, QByteArray line)
{
    Reply reply{code, std::move(line)};
    m_echoOf.clear();
    m_framingOurs = !m_owed.empty();
    if (!m_owed.empty()) {
        const QByteArray verb = std::move(m_owed.front());
        m_owed.pop_front();
        reply.answers = true;
        if (!verb.isEmpty()) {
            if (code < 0 && !(verb == "PING" && reply.line == "PONG"))
                reply.fault = Fault::NoStatus;
            else if (code >= 0 && isOurVerb(verbOf(reply.line)) && verbOf(reply.line) != verb)
                reply.fault = Fault::OtherVerb;
            m_echoOf = verb;
        }
    }
    if (code == 200)
        m_expect = Expect::DataBlock;
    else if (code == 201)
        m_expect = Expect::DataLine;
    else if (code == 400)
        m_expect = Expect::Echo;
    else
        m_expect = Expect::Status;
    return reply;
}

} // namespace vantor::playout
