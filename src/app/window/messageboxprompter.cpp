#include "app/window/messageboxprompter.h"

#include <QApplication>
#include <QMessageBox>

namespace vantor::app {

Answer MessageBoxPrompter::ask(const std::string &prompt)
{
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), QString::fromStdString(prompt),
                    QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore, m_parent);
    box.setTextFormat(Qt::PlainText); // an error text may carry a device path or a peer's words
    box.setDefaultButton(QMessageBox::Abort);
    // Escape and the close button ask again rather than end the program: only an explicit
    // Abort (or Enter, the default) ends it.
    box.setEscapeButton(QMessageBox::Retry);
    switch (box.exec()) {
    case QMessageBox::Retry: return Answer::Retry;
    case QMessageBox::Ignore: return Answer::Ignore;
    default: return Answer::Abort;
    }
}

} // namespace vantor::app
