#include "ControlRequests.h"

#include "common/ControlRequest.h"
#include "scheduler/TaskEvents.h"
#include "scheduler/TaskStorage.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <iterator>
#include <memory>

namespace {

// How long `run` waits to see its run start before it says the run is queued.
constexpr int kStartWaitMs = 5000;
// How long `stop` waits beyond the kill grace for the stopped run to end.
constexpr int kStopSlackMs = 10000;

// Replies once, when the service tells the task's run has started or ended, or at the
// time limit; the watcher is deleted with its reply. Set it up before asking the service:
// a run may start or end on another thread before the request returns. Deleting the
// returned watcher drops the reply.
QObject* ReplyWhen(const TaskInfo* task, bool started, int limitMs, const SingleApplication::Reply& reply,
                   const QString& done, const QString& late, bool lateOk)
{
    auto* watcher = new QObject;
    TaskEvents& events = TaskStorage::Instance().Events();
    const auto finish = [watcher, reply](bool ok, const QString& text) {
        reply(common::EncodeControlReply(ok, text.toStdString()));
        watcher->deleteLater();
        QObject::disconnect(watcher, nullptr, nullptr, nullptr);
    };
    // An end is on disk before the reply, so a script that asks `status` next reads it.
    const auto mine = [task, finish, done, started](const TaskInfo* which) {
        if (which != task)
            return;
        if (!started && !TaskStorage::Instance().Save())
            finish(false, done + QStringLiteral(", but the task list could not be saved"));
        else
            finish(true, done);
    };
    if (started) {
        QObject::connect(&events, &TaskEvents::runStarted, watcher, mine);
    } else {
        QObject::connect(&events, &TaskEvents::runStopped, watcher, mine);
        QObject::connect(&events, &TaskEvents::runEnded, watcher,
                         [mine](const TaskInfo* which, bool, const QString&) { mine(which); });
    }
    auto* timer = new QTimer(watcher);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, watcher, [finish, late, lateOk] { finish(lateOk, late); });
    timer->start(limitMs);
    return watcher;
}

} // namespace

void AnswerControlRequest(const std::string& line, const SingleApplication::Reply& reply)
{
    const auto answer = [&reply](bool ok, const QString& text) {
        reply(common::EncodeControlReply(ok, text.toStdString()));
    };
    const auto request = common::DecodeControlRequest(line);
    if (!request)
        return answer(false, QStringLiteral("not a request this scheduler knows"));
    TaskStorage& service = TaskStorage::Instance();
    const auto& tasks = service.Tasks();
    const QString wanted = QString::fromStdString(request->name);
    if (request->index >= tasks.size())
        return answer(false, QStringLiteral("the scheduler holds no task \"%1\" at that place; its list has changed "
                                            "since the store was saved")
                                 .arg(wanted));
    const TaskInfo* task = std::next(tasks.begin(), static_cast<std::ptrdiff_t>(request->index))->get();
    const TaskInfo copy = service.Copy(task);
    if (QString::fromStdWString(copy.name) != wanted)
        return answer(false, QStringLiteral("the scheduler holds \"%1\" where the store has \"%2\"; its list has "
                                            "changed since the store was saved")
                                 .arg(QString::fromStdWString(copy.name), wanted));
    switch (request->verb) {
    case common::ControlVerb::Pause:
    case common::ControlVerb::Resume: {
        const bool pause = request->verb == common::ControlVerb::Pause;
        if (copy.paused == pause)
            return answer(true, pause ? QStringLiteral("paused already") : QStringLiteral("not paused"));
        service.SetPaused(task, pause);
        return answer(true, pause ? QStringLiteral("paused") : QStringLiteral("resumed"));
    }
    case common::ControlVerb::Run:
        // The window may start a second run; a script asking for one is told instead.
        if (copy.last_run.outcome == RunOutcome::Running)
            return answer(false, QStringLiteral("running already"));
        ReplyWhen(task, true, kStartWaitMs, reply, QStringLiteral("started"),
                  QStringLiteral("queued: it starts when the scheduler's current run ends"), true);
        service.RunNow(task);
        return;
    case common::ControlVerb::Stop: {
        const auto grace = std::chrono::duration_cast<std::chrono::milliseconds>(execution::ToolLimits{}.killGrace);
        QObject* watcher =
            ReplyWhen(task, false, static_cast<int>(grace.count()) + kStopSlackMs, reply, QStringLiteral("stopped"),
                      QStringLiteral("asked to stop, but its run has not ended yet"), false);
        if (!service.Stop(task)) {
            delete watcher;
            return answer(false, QStringLiteral("not running"));
        }
        return;
    }
    }
}
