#include "realtimekit.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>

#include <algorithm>
#include <optional>

#include <sys/resource.h>

namespace {

const QString service = QStringLiteral("org.freedesktop.RealtimeKit1");

// rtkit's answer to `method` of `interface`; an error when it does not answer.
QDBusMessage ask(const QString &interface, const QString &method, const QVariantList &arguments)
{
    // rtkit answers within milliseconds once it runs; the bus may first have to start it.
    constexpr int answerWithinMs = 1000;
    QDBusMessage call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/org/freedesktop/RealtimeKit1"), interface, method);
    call.setArguments(arguments);
    return QDBusConnection::systemBus().call(call, QDBus::Block, answerWithinMs);
}

bool granted(const QDBusMessage &answer)
{
    return answer.type() == QDBusMessage::ReplyMessage;
}

std::optional<qint64> property(const char *name)
{
    const QDBusMessage answer = ask(QStringLiteral("org.freedesktop.DBus.Properties"),
                                    QStringLiteral("Get"), {service, QString::fromLatin1(name)});
    if (!granted(answer) || answer.arguments().isEmpty())
        return std::nullopt;
    bool number = false;
    const qint64 value
        = answer.arguments().first().value<QDBusVariant>().variant().toLongLong(&number);
    return number ? std::optional<qint64>(value) : std::nullopt;
}

} // namespace

RealtimeKit::RealtimeKit()
{
    if (!QDBusConnection::systemBus().isConnected())
        return;
    const std::optional<qint64> nice = property("MinNiceLevel");
    answered = nice.has_value();
    leastNice = int(nice.value_or(0));
    rtTimeLimitUs = property("RTTimeUSecMax").value_or(-1);
}

bool RealtimeKit::makeRealtime(pid_t thread)
{
    if (!answered || rtTimeLimitUs <= 0)
        return false;
    // rtkit requires the limit, so that a real-time thread that never blocks is stopped.
    rlimit limit {};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0)
        return false;
    limit.rlim_max = std::min(limit.rlim_max, rlim_t(rtTimeLimitUs));
    limit.rlim_cur = std::min(limit.rlim_cur, limit.rlim_max);
    if (setrlimit(RLIMIT_RTTIME, &limit) != 0)
        return false;
    constexpr quint32 lowestRealtimePriority = 1;
    return granted(ask(service, QStringLiteral("MakeThreadRealtime"),
                       {quint64(thread), lowestRealtimePriority}));
}

bool RealtimeKit::makeHighPriority(pid_t thread)
{
    return answered && leastNice < 0
        && granted(ask(service, QStringLiteral("MakeThreadHighPriority"),
                       {quint64(thread), leastNice}));
}
