#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

// One child process with its standard output and error caught in files, and how it ended.
class ChildProcess
{
public:
    ChildProcess(const char *program, const std::vector<std::string> &arguments)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const QByteArray out = m_dir.filePath("out").toLocal8Bit();
        const QByteArray err = m_dir.filePath("err").toLocal8Bit();
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char *> argv{const_cast<char *>(program)};
        for (const std::string &argument : arguments)
            argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, program, &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }

    ~ChildProcess()
    {
        if (m_pid > 0 && !m_ended) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &m_status, 0);
        }
    }

    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool started() const { return m_pid > 0; }
    void signal(int number) { kill(m_pid, number); }

    // Waits until the output holds `text`; false on timeout or when the child ended first.
    bool waitForOutput(const QByteArray &text, int milliseconds)
    {
        QElapsedTimer clock;
        clock.start();
        while (!out().contains(text)) {
            if (clock.elapsed() > milliseconds || waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
                m_ended = m_ended || WIFEXITED(m_status) || WIFSIGNALED(m_status);
                return out().contains(text);
            }
            QThread::msleep(5);
        }
        return true;
    }

    // Waits for the end; a child still running after `milliseconds` is killed (SIGKILL).
    void waitForEnd(int milliseconds = 30000)
    {
        QElapsedTimer clock;
        clock.start();
        while (!m_ended) {
            const pid_t done = waitpid(m_pid, &m_status, WNOHANG);
            if (done == m_pid) {
                m_ended = true;
            } else if (clock.elapsed() > milliseconds) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &m_status, 0);
                m_ended = true;
            } else {
                QThread::msleep(5);
            }
        }
    }

    bool exitedWith(int code) const { return m_ended && WIFEXITED(m_status) && WEXITSTATUS(m_status) == code; }
    bool killedBy(int number) const { return m_ended && WIFSIGNALED(m_status) && WTERMSIG(m_status) == number; }

    QByteArray out() const { return read("out"); }
    QByteArray err() const { return read("err"); }
    QList<QByteArray> outLines() const
    {
        QList<QByteArray> lines = out().split('\n');
        lines.removeAll(QByteArray());
        return lines;
    }

    // How the child ended, for failure messages.
    QByteArray describe() const
    {
        QByteArray text = !m_ended  ? "still running"
            : WIFSIGNALED(m_status) ? "killed by signal " + QByteArray::number(WTERMSIG(m_status))
                                    : "exit " + QByteArray::number(WEXITSTATUS(m_status));
        return text + "\nstdout:\n" + out() + "stderr:\n" + err();
    }

private:
    QByteArray read(const char *name) const
    {
        QFile file(m_dir.filePath(QString::fromLatin1(name)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QTemporaryDir m_dir;
    pid_t m_pid = -1;
    int m_status = 0;
    bool m_ended = false;
};
