#pragma once

// Answers the next modal dialog from inside its own event loop.
#include <QApplication>
#include <QInputDialog>
#include <QTimer>

#include <functional>

// Runs fn on the first modal widget that appears (polling every few milliseconds, so that
// dialogs opened by nested calls are caught too).
inline void answerNextDialog(std::function<void(QWidget*)> fn)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, fn]() {
        QWidget* w = QApplication::activeModalWidget();
        if (!w)
            return;
        timer->stop();
        timer->deleteLater();
        fn(w);
    });
    timer->start();
}

// Accepts the next number dialog with the given value.
inline void acceptNumber(double value)
{
    answerNextDialog([value](QWidget* w) {
        auto* d = qobject_cast<QInputDialog*>(w);
        if (!d) {
            w->close();
            return;
        }
        d->setDoubleValue(value);
        d->accept();
    });
}

// Cancels the next modal dialog of any kind.
inline void cancelDialog()
{
    answerNextDialog([](QWidget* w) {
        if (auto* d = qobject_cast<QDialog*>(w))
            d->reject();
        else
            w->close();
    });
}
