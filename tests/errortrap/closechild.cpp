// A child process for the termination-signal tests: a window that closes on SIGINT and SIGTERM.
// "ready" once its event loop runs; "hang" then blocks the event loop for good; "start-up-box"
// says "ready" from the error box of a start-up, before the main event loop runs, and says
// when a signal there has the queued lines written;
// "start-up-order" runs the program's own start-up with --version.
#include "app/application.h"
#include "app/terminationsignals.h"
#include "app/window/messageboxprompter.h"

#include <QApplication>
#include <QCloseEvent>
#include <QTimer>
#include <QWidget>

#include <csignal>
#include <cstdio>
#include <cstring>

#include <sys/prctl.h>
#include <unistd.h>

namespace {

void say(const char *line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

class Window : public QWidget
{
protected:
    void closeEvent(QCloseEvent *event) override
    {
        say("close event");
        QWidget::closeEvent(event);
    }
};

} // namespace

// The program's own start with --version, which ends before any window: is the filter in?
int startUpOrder(char *program)
{
    char version[] = "--version";
    char *arguments[] = {program, version, nullptr};
    vantor::app::run(2, arguments);
    struct sigaction fault = {};
    sigaction(SIGSEGV, nullptr, &fault);
    say((fault.sa_flags & SA_SIGINFO) != 0 ? "fault filter installed" : "no fault filter");
    return 0;
}

int main(int argc, char *argv[])
{
    // The faults are meant: no core files.
    prctl(PR_SET_DUMPABLE, 0);
    if (argc > 1 && std::strcmp(argv[1], "start-up-order") == 0)
        return startUpOrder(argv[0]);
    const bool hang = argc > 1 && std::strcmp(argv[1], "hang") == 0;
    const bool startUpBox = argc > 1 && std::strcmp(argv[1], "start-up-box") == 0;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Window window;
    window.show();
    vantor::app::closeOnTerminationSignals(&window, [] { say("queued lines written"); });
    if (startUpBox) {
        vantor::app::MessageBoxPrompter prompter(&window);
        QTimer::singleShot(0, &window, [] { say("ready"); });
        prompter.ask("Error 380\r\nInvalid property value\r\nLocation: VANTOR.frmMAIN.Form_Load\r\nLine 128");
        say("answered");
    } else {
        QTimer::singleShot(0, &window, [hang] {
            say("ready");
            while (hang)
                pause();
        });
    }
    vantor::app::mainLoopStarts();
    const int code = app.exec();
    say("event loop ended");
    return code;
}
