// A child process for the ending tests on Windows: a window that closes on a console's control
// event, WM_ENDSESSION and WM_CLOSE, as the program's does. "ready" once its event loop runs;
// "hang" then blocks the event loop for good; "start-up-box" says "ready" from the error box of
// a start-up, before the main event loop runs, and says when the queued lines are written.
#include "app/terminationsignals.h"
#include "app/window/messageboxprompter.h"

#include <QApplication>
#include <QCloseEvent>
#include <QTimer>
#include <QWidget>

#include <windows.h>

#include <cstdio>
#include <cstring>

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
    const bool hang = argc > 1 && std::strcmp(argv[1], "hang") == 0;
    const bool startUpBox = argc > 1 && std::strcmp(argv[1], "start-up-box") == 0;
    QApplication app(argc, argv);
    Window window;
    window.setWindowTitle(QStringLiteral("ending child"));
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
                ::Sleep(INFINITE);
        });
    }
    vantor::app::mainLoopStarts();
    const int code = app.exec();
    say("event loop ended");
    return code;
}
