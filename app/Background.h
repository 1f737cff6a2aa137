#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <utility>

namespace tarvo::app {

// Runs `work` on `pool` and hands its result to `done` on the thread of
// `context` (the main thread for the models). Nothing is handed over once
// `context` is gone. `work` must not touch `context`; what it does touch
// must outlive the pool, whose destruction waits for it.
template <typename Work, typename Done>
void inBackground(QObject* context, QThreadPool* pool, Work work, Done done) {
    using Value = decltype(work());
    auto* watcher = new QFutureWatcher<Value>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                     [watcher, done = std::move(done)]() mutable {
                         if constexpr (std::is_void_v<Value>)
                             done();
                         else
                             done(watcher->result());
                         watcher->deleteLater();
                     });
    watcher->setFuture(QtConcurrent::run(pool, std::move(work)));
}

} // namespace tarvo::app
