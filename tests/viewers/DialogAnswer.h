#pragma once

// Answers the next modal dialog from inside its own event loop.
#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

// Runs fn on the first modal widget that appears and has not been answered yet (polling every
// few milliseconds, so that dialogs opened by nested calls are caught too). A dialog that was
// answered can stay the active modal widget for a moment while it closes; it is skipped, so
// that an answer meant for the next dialog does not land on it.
inline void answerNextDialog(std::function<void(QWidget*)> fn)
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, fn]() {
        static std::vector<QPointer<QWidget>> answered;
        QWidget* w = QApplication::activeModalWidget();
        if (!w || !w->isVisible())
            return;
        for (const QPointer<QWidget>& a : answered)
            if (a == w)
                return;
        answered.erase(std::remove_if(answered.begin(), answered.end(), [](const QPointer<QWidget>& a) { return a.isNull(); }),
                       answered.end());
        answered.push_back(w);
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

// Puts the path into a file dialog and accepts it. The dialog's own selectFile leaves the name
// field alone while the field has the keyboard focus, so the field is filled directly as well.
inline void chooseInFileDialog(QFileDialog* d, const QString& path)
{
    d->selectFile(path);
    if (auto* name = d->findChild<QLineEdit*>("fileNameEdit"))
        name->setText(path);
    static_cast<QDialog*>(d)->accept();
}

// Accepts the next file dialog with the given path, then runs `then` (to queue the next answer).
// A dialog that is still open a moment later gets the path again. Other modal widgets are left
// alone.
inline void acceptFile(const QString& path, std::function<void()> then = {})
{
    auto* timer = new QTimer;
    timer->setInterval(5);
    auto answered = std::make_shared<QPointer<QFileDialog>>();
    auto started = std::make_shared<bool>(false);
    QObject::connect(timer, &QTimer::timeout, [timer, path, then, answered, started]() {
        if (*started) {
            QFileDialog* d = answered->data();
            if (d && d->isVisible()) {
                chooseInFileDialog(d, path);
                return;
            }
            timer->stop();
            timer->deleteLater();
            return;
        }
        // The open file dialog, found among the windows: the active modal widget can still be
        // a box that was just answered.
        QFileDialog* d = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* f = qobject_cast<QFileDialog*>(w); f && f->isVisible())
                d = f;
        if (!d)
            return;
        *started = true;
        *answered = d;
        chooseInFileDialog(d, path);
        if (then)
            then();
    });
    timer->start();
}
