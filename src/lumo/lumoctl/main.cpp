// lumoctl: what qarg and qars are doing on this machine, for an administrator.

#include "status_view.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDateTime>
#include <QJsonArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cstdio>
#include <unistd.h>

using lumoctl::StatusView;

namespace {

const char kUsage[] =
    "Usage: lumoctl [--json] COMMAND\n"
    "\n"
    "Commands:\n"
    "  status     qarg's server, machine id, backend, pulls, the task being executed,\n"
    "             owed receipts and whether USB whitelist control is on\n"
    "  policy [system|session [--user NAME]]\n"
    "             the settings of the last applied document, with each setting's latest\n"
    "             result and its time (system: qarg, the default; session: the qars of\n"
    "             the caller, or of NAME)\n"
    "  usb        the USB devices qarg has seen since its start and the decision on each\n"
    "  pull       make qarg pull its policy now, as its timer would (root only)\n"
    "\n"
    "Options:\n"
    "  --json     the relevant part of the status as JSON, for scripts\n"
    "  -h, --help show this text\n"
    "\n"
    "Exit status: 0 ok, 1 usage error, 2 no permission, 3 program not running,\n"
    "4 any other failure.\n";

const int kPullTimeoutMs = 10000;

struct Options
{
    QString command;
    QString level;
    QString user;
    bool json = false;
    bool help = false;
};

void printOut(const QByteArray& text)
{
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
}

int fail(int code, const QString& message)
{
    std::fprintf(stderr, "lumoctl: %s\n", message.toLocal8Bit().constData());
    return code;
}

int usageError(const QString& message)
{
    std::fprintf(stderr, "lumoctl: %s\n\n%s", message.toLocal8Bit().constData(), kUsage);
    return lumoctl::ExitUsage;
}

// Empty when the arguments make sense, else what is wrong with them.
QString parseArguments(const QStringList& args, Options* options)
{
    QStringList positional;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--json")) {
            options->json = true;
        } else if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            options->help = true;
        } else if (arg == QLatin1String("--user")) {
            if (++i >= args.size() || args.at(i).isEmpty())
                return QStringLiteral("--user needs a user name");
            options->user = args.at(i);
        } else if (arg.startsWith(QLatin1String("--user="))) {
            options->user = arg.mid(7);
            if (options->user.isEmpty())
                return QStringLiteral("--user needs a user name");
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            return QStringLiteral("unknown option %1").arg(arg);
        } else {
            positional.append(arg);
        }
    }
    if (options->help)
        return QString();
    if (positional.isEmpty())
        return QStringLiteral("no command given");
    options->command = positional.takeFirst();
    const QStringList commands{QStringLiteral("status"), QStringLiteral("policy"),
                               QStringLiteral("usb"), QStringLiteral("pull")};
    if (!commands.contains(options->command))
        return QStringLiteral("unknown command %1").arg(options->command);
    if (options->command == QLatin1String("policy") && !positional.isEmpty()) {
        options->level = positional.takeFirst();
        if (options->level != QLatin1String("system") && options->level != QLatin1String("session"))
            return QStringLiteral("policy level must be system or session, not %1").arg(options->level);
    }
    if (!positional.isEmpty())
        return QStringLiteral("unexpected argument %1").arg(positional.first());
    if (!options->user.isEmpty() && options->level != QLatin1String("session"))
        return QStringLiteral("--user goes with policy session only");
    return QString();
}

// A program that has ended (crashed or stopped) left its last status behind:
// shown as that, with its time, so that one sees what was applied before. The
// exit status still says the program is not running.
int showLastKnown(const StatusView& view, const Options& options, StatusView::Part part,
                  const QString& program)
{
    // Only a time that reads as one reaches the terminal.
    const QDateTime written = QDateTime::fromString(
        view.object().value(QLatin1String("updated")).toString(), Qt::ISODate);
    const QString time = written.isValid() ? written.toString(Qt::ISODate) : QString();
    if (options.json) {
        const QJsonDocument shown = QJsonDocument::fromJson(view.json(part));
        const QJsonValue status = shown.isObject() ? QJsonValue(shown.object())
                                  : shown.isArray() ? QJsonValue(shown.array())
                                                    : QJsonValue();
        printOut(QJsonDocument(QJsonObject{{QStringLiteral("running"), false},
                                           {QStringLiteral("last_known_time"),
                                            time.isEmpty() ? QJsonValue() : QJsonValue(time)},
                                           {QStringLiteral("last_known"), status}})
                     .toJson(QJsonDocument::Indented));
    } else {
        printOut(QStringLiteral("%1 is not running; last known status, of %2:\n\n")
                     .arg(program, time.isEmpty() ? QStringLiteral("an unknown time") : time)
                     .toUtf8()
                 + view.table(part).toUtf8());
    }
    return fail(lumoctl::ExitNotRunning, view.error());
}

int show(const Options& options)
{
    QString path = StatusView::systemStatusPath();
    // Root reads the whole texts of what its scripts, firewall commands and installs printed.
    const QString detail = StatusView::systemDetailPath();
    if (::access(QFile::encodeName(detail).constData(), R_OK) == 0)
        path = detail;
    QString trusted;
    QString program = QStringLiteral("qarg");
    StatusView::Part part = StatusView::Overview;
    if (options.command == QLatin1String("usb"))
        part = StatusView::UsbDevices;
    if (options.command == QLatin1String("policy")) {
        part = StatusView::Policy;
        if (options.level == QLatin1String("session")) {
            QString error;
            path = StatusView::sessionStatusPath(options.user, &error, &trusted);
            if (path.isEmpty())
                return fail(lumoctl::ExitFailure, error);
            program = QStringLiteral("qars");
        }
    }
    StatusView view;
    if (!view.load(path, program, trusted)) {
        if (view.exitCode() == lumoctl::ExitNotRunning && !view.object().isEmpty())
            return showLastKnown(view, options, part, program);
        return fail(view.exitCode(), view.error());
    }
    printOut(options.json ? view.json(part) : view.table(part).toUtf8());
    return lumoctl::ExitOk;
}

// The daemon checks the caller itself: the lab's bus lets everyone call.
int pull(const Options& options)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return fail(lumoctl::ExitFailure,
                    QStringLiteral("cannot reach the system bus: %1").arg(bus.lastError().message()));
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("com.kestal.vorn.qarg"), QStringLiteral("/com/kestal/vorn/qarg"),
        QStringLiteral("com.kestal.vorn.qarg.Control"), QStringLiteral("Pull"));
    const QDBusMessage reply = bus.call(call, QDBus::Block, kPullTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        const QString name = reply.errorName();
        if (name == QLatin1String("org.freedesktop.DBus.Error.AccessDenied"))
            return fail(lumoctl::ExitNoPermission, QStringLiteral("only root may make qarg pull"));
        if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown")
            || name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
            return fail(lumoctl::ExitNotRunning, QStringLiteral("qarg is not running: nobody owns "
                                                                "com.kestal.vorn.qarg on the system bus"));
        return fail(lumoctl::ExitFailure,
                    QStringLiteral("qarg did not pull: %1 (%2)").arg(reply.errorMessage(), name));
    }
    if (reply.arguments().size() != 1 || reply.arguments().first().type() != QVariant::String)
        return fail(lumoctl::ExitFailure, QStringLiteral("qarg gave an unexpected answer"));
    const QString answer = reply.arguments().first().toString();
    if (options.json)
        printOut(QJsonDocument(QJsonObject{{QStringLiteral("answer"), answer}}).toJson());
    else
        printOut(answer.toUtf8() + '\n');
    return lumoctl::ExitOk;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Options options;
    const QString problem = parseArguments(app.arguments().mid(1), &options);
    if (!problem.isEmpty())
        return usageError(problem);
    if (options.help) {
        printOut(QByteArray(kUsage));
        return lumoctl::ExitOk;
    }
    if (options.command == QLatin1String("pull"))
        return pull(options);
    return show(options);
}
