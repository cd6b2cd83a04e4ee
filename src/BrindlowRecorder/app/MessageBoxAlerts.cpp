#include "MessageBoxAlerts.h"

#include <QEventLoop>
#include <QMessageBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

namespace brindlow {

size_t MessageBoxAlerts::ask(const std::string& message, const std::string& informativeText,
                             const std::vector<std::string>& buttons) {
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Brindlow"));
    box.setIcon(QMessageBox::Question);
    box.setText(QString::fromStdString(message));
    box.setInformativeText(QString::fromStdString(informativeText));
    std::vector<QPushButton*> added;
    for (size_t i = 0; i < buttons.size(); ++i) {
        // The first button is the default, the last one answers Escape, as alerts do.
        const auto role = i == 0 ? QMessageBox::AcceptRole
                        : i + 1 == buttons.size() ? QMessageBox::RejectRole : QMessageBox::ActionRole;
        added.push_back(box.addButton(QString::fromStdString(buttons[i]), role));
    }
    if (!added.empty()) box.setDefaultButton(added.front());
    box.raise();
    box.activateWindow();
    box.exec();
    for (size_t i = 0; i < added.size(); ++i)
        if (box.clickedButton() == added[i]) return i;
    return buttons.size();
}

void MessageBoxAlerts::inform(const std::string& message, const std::string& informativeText) {
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Brindlow"));
    box.setIcon(QMessageBox::Information);
    box.setText(QString::fromStdString(message));
    box.setInformativeText(QString::fromStdString(informativeText));
    box.exec();
}

void MessageBoxAlerts::showProgress(const std::string& message, const Progress& progress) {
    QProgressDialog dialog(QString::fromStdString(message), QString(), 0, 1000);
    dialog.setWindowTitle(QStringLiteral("Brindlow"));
    dialog.setCancelButton(nullptr);
    dialog.setMinimumDuration(0);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    dialog.setMinimumWidth(360);
    // This loop keeps the app's timers (its hang watchdog's among them) running.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        dialog.setValue(int(progress.fraction.load() * 1000));
        if (progress.done) loop.quit();
    });
    poll.start(50);
    dialog.show();
    if (!progress.done) loop.exec();
}

}  // namespace brindlow
