// What ends the program on Windows ends it as SIGTERM does on Linux (endingchild.cpp runs it):
// a console's control event, the window's close (WM_CLOSE, as `taskkill` sends it) and the end
// of the session (WM_ENDSESSION). Runs with a console (a pseudo-terminal under Wine) and a
// display (Xvfb), so that the child has both.
#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

namespace {

// One child process with its output caught in a file, and how it ended.
class Child
{
public:
    explicit Child(const QString &argument)
    {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        const std::wstring out = QDir::toNativeSeparators(m_dir.filePath(QStringLiteral("out"))).toStdWString();
        const std::wstring err = QDir::toNativeSeparators(m_dir.filePath(QStringLiteral("err"))).toStdWString();
        m_out = ::CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        m_err = ::CreateFileW(err.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = m_out;
        startup.hStdError = m_err;
        std::wstring command = (QStringLiteral("\"%1\" %2")
                                    .arg(QDir::toNativeSeparators(QCoreApplication::applicationDirPath()
                                                                  + QStringLiteral("/endingchild.exe")),
                                         argument))
                                   .toStdWString();
        // The console is shared, so that its control events reach the child.
        if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                              &m_process))
            m_process = {};
    }

    ~Child()
    {
        if (m_process.hProcess) {
            ::TerminateProcess(m_process.hProcess, 99);
            ::WaitForSingleObject(m_process.hProcess, 5000);
            ::CloseHandle(m_process.hProcess);
            ::CloseHandle(m_process.hThread);
        }
        ::CloseHandle(m_out);
        ::CloseHandle(m_err);
    }

    bool started() const { return m_process.hProcess != nullptr; }

    QList<QByteArray> lines() const
    {
        QFile file(m_dir.filePath(QStringLiteral("out")));
        file.open(QIODevice::ReadOnly);
        QList<QByteArray> out = file.readAll().split('\n');
        for (QByteArray &line : out)
            line = line.trimmed();
        out.removeAll(QByteArray());
        return out;
    }

    bool waitForOutput(const QByteArray &line, int ms) const
    {
        QElapsedTimer clock;
        clock.start();
        while (!lines().contains(line)) {
            if (clock.elapsed() > ms || ::WaitForSingleObject(m_process.hProcess, 0) == WAIT_OBJECT_0)
                return false;
            QTest::qSleep(20);
        }
        return true;
    }

    // The exit status, or -1 while it runs after ms.
    qint64 waitForEnd(int ms) const
    {
        if (::WaitForSingleObject(m_process.hProcess, DWORD(ms)) != WAIT_OBJECT_0)
            return -1;
        DWORD code = 0;
        ::GetExitCodeProcess(m_process.hProcess, &code);
        return code;
    }

    // The child's visible top-level window.
    HWND window() const
    {
        struct Search
        {
            DWORD pid;
            HWND found;
        } search{m_process.dwProcessId, nullptr};
        ::EnumWindows(
            [](HWND hwnd, LPARAM param) -> BOOL {
                auto *s = reinterpret_cast<Search *>(param);
                DWORD pid = 0;
                ::GetWindowThreadProcessId(hwnd, &pid);
                if (pid == s->pid && ::IsWindowVisible(hwnd)) {
                    s->found = hwnd;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    QByteArray describe() const { return "child output: " + lines().join(" | "); }

private:
    QTemporaryDir m_dir;
    HANDLE m_out = INVALID_HANDLE_VALUE; // the child's standard output: its lines
    HANDLE m_err = INVALID_HANDLE_VALUE; // its standard error: Qt's and Wine's notes
    PROCESS_INFORMATION m_process{};
};

enum class Ending { ConsoleControl, WindowClose, EndOfSession };

bool end(const Child &child, Ending how)
{
    switch (how) {
    case Ending::ConsoleControl: return ::GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    case Ending::WindowClose: return ::PostMessageW(child.window(), WM_CLOSE, 0, 0);
    case Ending::EndOfSession: {
        DWORD_PTR answer = 0;
        const HWND window = child.window();
        ::SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer);
        // The child ends while it handles the message: no answer comes.
        ::SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &answer);
        return window != nullptr;
    }
    }
    return false;
}

} // namespace

Q_DECLARE_METATYPE(Ending)

class TestWinEnding : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void endsAsSigtermDoes_data();
    void endsAsSigtermDoes();
    void secondControlEventEndsAHungProgram();
    void controlEventDuringTheStartUpBoxEndsTheProgram();
};

void TestWinEnding::initTestCase()
{
    // Control events go to every process of the console: this one lets them pass. A handler of
    // its own, not the ignore flag, which a child would inherit.
    QVERIFY(::SetConsoleCtrlHandler([](DWORD) -> BOOL { return TRUE; }, TRUE));
    if (!::GetConsoleWindow())
        QSKIP("no console to send control events in (run with wine-run.sh --console)");
}

void TestWinEnding::endsAsSigtermDoes_data()
{
    QTest::addColumn<Ending>("how");
    QTest::addColumn<QList<QByteArray>>("lines");
    const QList<QByteArray> closed{"ready", "close event", "event loop ended"};
    QTest::newRow("console control event") << Ending::ConsoleControl << closed;
    QTest::newRow("WM_CLOSE") << Ending::WindowClose << closed;
    // The session may end the process as soon as the message is handled: the program ends there,
    // what is queued for the files written.
    QTest::newRow("WM_ENDSESSION") << Ending::EndOfSession
                                   << QList<QByteArray>{"ready", "close event", "queued lines written"};
}

void TestWinEnding::endsAsSigtermDoes()
{
    QFETCH(Ending, how);
    QFETCH(QList<QByteArray>, lines);
    Child child(QStringLiteral("run"));
    QVERIFY(child.started());
    QVERIFY2(child.waitForOutput("ready", 60000), child.describe());
    QTRY_VERIFY_WITH_TIMEOUT(child.window() != nullptr, 20000);
    QVERIFY(end(child, how));
    QCOMPARE(child.waitForEnd(20000), 0);
    QCOMPARE(child.lines(), lines);
}

void TestWinEnding::secondControlEventEndsAHungProgram()
{
    Child child(QStringLiteral("hang"));
    QVERIFY2(child.waitForOutput("ready", 60000), child.describe());
    QVERIFY(end(child, Ending::ConsoleControl));
    QTest::qSleep(500);
    QVERIFY(end(child, Ending::ConsoleControl));
    QCOMPARE(child.waitForEnd(20000), qint64(STATUS_CONTROL_C_EXIT));
    QCOMPARE(child.lines(), QList<QByteArray>{"ready"});
}

// Before the main event loop runs, closing cannot end it: the box goes, the program ends as a
// close would, once what is queued for the files is written.
void TestWinEnding::controlEventDuringTheStartUpBoxEndsTheProgram()
{
    Child child(QStringLiteral("start-up-box"));
    QVERIFY2(child.waitForOutput("ready", 60000), child.describe());
    QVERIFY(end(child, Ending::ConsoleControl));
    QCOMPARE(child.waitForEnd(20000), 0);
    QCOMPARE(child.lines(), (QList<QByteArray>{"ready", "close event", "queued lines written"}));
}

QTEST_GUILESS_MAIN(TestWinEnding)
#include "tst_winending.moc"
