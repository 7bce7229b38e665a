// polkitstandin: polkit's authority on the sound-server test's private system bus, for rtkit, which
// asks it before it raises a thread. It grants every action, as a desktop's polkit grants rtkit's
// to a user with a local session (rtkit's policy: allowed to active and inactive sessions); the
// test's user has no session for polkit to find. Prints "ready" once it answers on the bus that
// DBUS_SYSTEM_BUS_ADDRESS names, and runs until it is stopped.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>

#include <cstdio>

namespace {

class Authority : public QDBusVirtualObject
{
public:
    QString introspect(const QString &) const override { return {}; }

    // CheckAuthorization(subject, action, details, flags, cancellation) -> (authorised,
    // challenge, details)
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.member() != QLatin1String("CheckAuthorization"))
            return false;
        QDBusArgument result;
        result.beginStructure();
        result << true << false << QMap<QString, QString>();
        result.endStructure();
        connection.send(message.createReply(QVariant::fromValue(result)));
        return true;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qDBusRegisterMetaType<QMap<QString, QString>>();
    Authority authority;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerVirtualObject(QStringLiteral("/org/freedesktop/PolicyKit1/Authority"),
                                   &authority)
        || !bus.registerService(QStringLiteral("org.freedesktop.PolicyKit1"))) {
        std::fprintf(stderr, "polkitstandin: not on the system bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return application.exec();
}
