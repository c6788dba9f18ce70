// A child process for the termination-signal tests: a window that closes on SIGINT and SIGTERM.
// "ready" once its event loop runs; "hang" then blocks the event loop for good.
#include "app/terminationsignals.h"

#include <QApplication>
#include <QCloseEvent>
#include <QTimer>
#include <QWidget>

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

int main(int argc, char *argv[])
{
    // The faults are meant: no core files.
    prctl(PR_SET_DUMPABLE, 0);
    const bool hang = argc > 1 && std::strcmp(argv[1], "hang") == 0;
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Window window;
    window.show();
    vantor::app::closeOnTerminationSignals(&window);
    QTimer::singleShot(0, &window, [hang] {
        say("ready");
        while (hang)
            pause();
    });
    const int code = app.exec();
    say("event loop ended");
    return code;
}
