#include "status_view.h"

#include "status_file.h"

#include "common/base/statusschema.h"
#include "common/shared/sysroot.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QVector>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace lumoctl {

namespace {

namespace key = vorn::status;

// Far above any real status; a bigger file is not one.
constexpr qint64 kMaxStatusSize = 8 * 1024 * 1024;
// Long values would push the result column off the screen.
constexpr int kValueWidth = 40;
// The kernel keeps the first 15 bytes of a program's name.
constexpr int kCommLength = 15;

using Pairs = QVector<QPair<QString, QString>>;
using Rows = QVector<QStringList>;

// Status texts come from the programs and, for a session, from a file its user
// can write: control characters must not reach the terminal.
QString printable(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u == '\n')
            out += QLatin1String("\\n");
        else if (u == '\t')
            out += QLatin1String("\\t");
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QString cut(const QString& text, int width)
{
    if (text.size() <= width)
        return text;
    return text.left(width - 3) + QLatin1String("...");
}

QString shown(const QJsonValue& value, const QString& none = QStringLiteral("-"))
{
    switch (value.type()) {
    case QJsonValue::String:
        return printable(value.toString());
    case QJsonValue::Double:
        return QString::number(static_cast<qint64>(value.toDouble()));
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("on") : QStringLiteral("off");
    default:
        return none;
    }
}

QString taskText(const QJsonObject& o)
{
    const qint64 task = static_cast<qint64>(o.value(key::kTaskId).toDouble(-1));
    if (task < 0)
        return QStringLiteral("no task");
    return QStringLiteral("task %1, job %2").arg(task).arg(shown(o.value(key::kJobId)));
}

QString renderPairs(const Pairs& pairs)
{
    int width = 0;
    for (const auto& p : pairs)
        width = qMax(width, p.first.size());
    QString out;
    for (const auto& p : pairs) {
        if (!p.first.isEmpty())
            out += p.first.leftJustified(width + 2) + p.second + QLatin1Char('\n');
    }
    return out;
}

// Columns padded to their widest cell; the last one is left as long as it is.
QString renderTable(const QStringList& header, const Rows& rows)
{
    QVector<int> widths(header.size());
    for (int i = 0; i < header.size(); ++i)
        widths[i] = header.at(i).size();
    for (const QStringList& row : rows)
        for (int i = 0; i < row.size() && i < widths.size(); ++i)
            widths[i] = qMax(widths[i], row.at(i).size());
    auto line = [&widths](const QStringList& cells) {
        QString text;
        for (int i = 0; i < cells.size(); ++i)
            text += i + 1 < cells.size() ? cells.at(i).leftJustified(widths[i] + 2) : cells.at(i);
        return text + QLatin1Char('\n');
    };
    QString out = line(header);
    for (const QStringList& row : rows)
        out += line(row);
    return out;
}

// Entries longer than the buffer are read again with more room.
constexpr size_t kFirstBuffer = 16384;
constexpr size_t kMaxBuffer = 1 << 20;

// The home directory of `user`: from the user database, or, when a sysroot is
// set, from the passwd file below it (the accounts of that root).
QString homeOf(const QString& user)
{
    const QByteArray name = user.toUtf8();
    std::vector<char> buffer(kFirstBuffer);
    passwd entry{};
    passwd* found = nullptr;
    if (vorn::base::sysroot().isEmpty()) {
        int error = 0;
        while ((error = getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found))
                   == ERANGE
               && buffer.size() < kMaxBuffer)
            buffer.resize(buffer.size() * 2);
        return error == 0 && found ? QFile::decodeName(found->pw_dir) : QString();
    }
    const QByteArray file = QFile::encodeName(vorn::base::sysrootPath(QStringLiteral("/etc/passwd")));
    std::unique_ptr<FILE, int (*)(FILE*)> stream(std::fopen(file.constData(), "re"), &std::fclose);
    if (!stream)
        return QString();
    for (;;) {
        // On ERANGE the C library goes back to the start of the entry.
        const int error = fgetpwent_r(stream.get(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kMaxBuffer) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || !found)
            return QString();
        if (name == found->pw_name)
            return vorn::base::sysrootPath(QFile::decodeName(found->pw_dir));
    }
}

} // namespace

class StatusViewPrivate
{
public:
    bool fail(int code, const QString& text)
    {
        exitCode = code;
        error = text;
        return false;
    }

    QString programLine() const;
    QPair<QString, QString> usbControl() const;
    QString overview() const;
    QString policy() const;
    QString usbDevices() const;

    QJsonObject object;
    QString program;
    int exitCode = ExitOk;
    QString error;
};

QString StatusViewPrivate::programLine() const
{
    return QStringLiteral("pid %1, running as %2, status of %3")
        .arg(shown(object.value(key::kPid)), shown(object.value(key::kUser)),
             shown(object.value(key::kUpdated)));
}

QPair<QString, QString> StatusViewPrivate::usbControl() const
{
    // Only qarg controls USB devices; the session agent's value means nothing.
    if (program != QLatin1String("qarg"))
        return {};
    return {QStringLiteral("usb control"), shown(object.value(key::kUsbControl))};
}

QString StatusViewPrivate::overview() const
{
    const QString server = object.value(key::kServer).toString();
    Pairs pairs{{program, programLine()},
                {QStringLiteral("server"), server.isEmpty() ? QStringLiteral("not enrolled")
                                                            : printable(server)},
                {QStringLiteral("machine id"), shown(object.value(key::kMachineId))},
                {QStringLiteral("backend"), shown(object.value(key::kBackend))}};

    QString last = QStringLiteral("never");
    const QJsonValue pull = object.value(key::kLastPull);
    if (pull.isObject()) {
        const QJsonObject p = pull.toObject();
        last = QStringLiteral("%1  %2  md5 %3  (%4)")
                   .arg(shown(p.value(key::kTime)), shown(p.value(key::kOutcome)),
                        shown(p.value(key::kMd5)), taskText(p));
    }
    pairs.append({QStringLiteral("last pull"), last});
    pairs.append({QStringLiteral("next pull"), shown(object.value(key::kNextPull),
                                                     QStringLiteral("none"))});

    QString executing = QStringLiteral("nothing");
    const QJsonValue running = object.value(key::kExecuting);
    if (running.isObject()) {
        const QJsonObject r = running.toObject();
        executing = QStringLiteral("%1, since %2").arg(taskText(r), shown(r.value(key::kSince)));
    }
    pairs.append({QStringLiteral("executing"), executing});
    pairs.append({QStringLiteral("owed receipts"), shown(object.value(key::kOwedReceipts))});
    pairs.append(usbControl());
    return renderPairs(pairs);
}

QString StatusViewPrivate::policy() const
{
    Pairs pairs{{program, programLine()}};
    const QJsonValue value = object.value(key::kPolicy);
    if (!value.isObject()) {
        pairs.append({QStringLiteral("document"), QStringLiteral("none applied yet")});
        return renderPairs(pairs);
    }
    const QJsonObject doc = value.toObject();
    pairs.append({QStringLiteral("document"), taskText(doc)});
    pairs.append({QStringLiteral("started"), shown(doc.value(key::kStarted))});
    pairs.append({QStringLiteral("finished"), shown(doc.value(key::kFinished),
                                                    QStringLiteral("not yet"))});
    Rows rows;
    for (const QJsonValue& item : doc.value(key::kSettings).toArray()) {
        const QJsonObject s = item.toObject();
        const QString result = shown(s.value(key::kResult));
        rows.append({shown(s.value(key::kKey)),
                     cut(shown(s.value(key::kValue)), kValueWidth),
                     shown(s.value(key::kTime)),
                     result.isEmpty() ? QStringLiteral("(outstanding)") : result});
    }
    if (rows.isEmpty())
        return renderPairs(pairs) + QLatin1String("\nno settings in the document\n");
    return renderPairs(pairs) + QLatin1Char('\n')
           + renderTable({QStringLiteral("KEY"), QStringLiteral("VALUE"), QStringLiteral("TIME"),
                          QStringLiteral("RESULT")},
                         rows);
}

QString StatusViewPrivate::usbDevices() const
{
    Pairs pairs{{program, programLine()}, usbControl()};
    Rows rows;
    int held = 0;
    QString oldestHold;
    for (const QJsonValue& item : object.value(key::kUsbDevices).toArray()) {
        const QJsonObject u = item.toObject();
        // A held device shows since when it waits for the server's answer.
        const QJsonValue since = u.value(key::kHeldSince);
        if (since.isString()) {
            ++held;
            if (oldestHold.isEmpty() || since.toString() < oldestHold)
                oldestHold = since.toString();
        }
        rows.append({shown(u.value(key::kName)),
                     shown(u.value(key::kVendorId)) + QLatin1Char(':')
                         + shown(u.value(key::kProductId)),
                     shown(u.value(key::kSerial)), shown(u.value(key::kDecision)),
                     shown(since.isString() ? since : u.value(key::kTime)),
                     shown(u.value(key::kReason))});
    }
    if (held > 0)
        pairs.append({QStringLiteral("held devices"),
                      QStringLiteral("%1, the first waiting since %2")
                          .arg(held)
                          .arg(shown(QJsonValue(oldestHold)))});
    if (rows.isEmpty())
        return renderPairs(pairs) + QLatin1String("\nno USB devices seen since start\n");
    return renderPairs(pairs) + QLatin1Char('\n')
           + renderTable({QStringLiteral("DEVICE"), QStringLiteral("ID"), QStringLiteral("SERIAL"),
                          QStringLiteral("DECISION"), QStringLiteral("TIME"), QStringLiteral("REASON")},
                         rows);
}

StatusView::StatusView()
    : d(new StatusViewPrivate)
{
}

StatusView::~StatusView() = default;

bool StatusView::load(const QString& path, const QString& program, const QString& trusted)
{
    d->object = QJsonObject();
    d->program = program;
    const OpenedStatusFile opened = openStatusFile(path, trusted);
    if (!opened.problem.isEmpty())
        return d->fail(ExitFailure, QStringLiteral("%1 %2").arg(path, opened.problem));
    const int fd = opened.fd;
    if (fd < 0) {
        const int error = opened.error;
        const QString reason = QString::fromLocal8Bit(std::strerror(error));
        if (error == ENOENT || error == ENOTDIR)
            return d->fail(ExitNotRunning, QStringLiteral("%1 is not running: no status file %2")
                                               .arg(program, path));
        if (error == EACCES || error == EPERM)
            return d->fail(ExitNoPermission, QStringLiteral("cannot read %1: %2").arg(path, reason));
        return d->fail(ExitFailure, QStringLiteral("cannot read %1: %2").arg(path, reason));
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return d->fail(ExitFailure, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    }
    struct stat info{};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return d->fail(ExitFailure, QStringLiteral("%1 is not a regular file").arg(path));
    const QByteArray text = file.read(kMaxStatusSize + 1);
    if (text.size() > kMaxStatusSize)
        return d->fail(ExitFailure, QStringLiteral("%1 is too large for a status file").arg(path));
    return parse(text, path, program);
}

bool StatusView::parse(const QByteArray& text, const QString& origin, const QString& program)
{
    d->object = QJsonObject();
    d->program = program;
    d->exitCode = ExitOk;
    d->error.clear();
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return d->fail(ExitFailure, QStringLiteral("%1: malformed status: %2 at offset %3")
                                        .arg(origin, parseError.errorString())
                                        .arg(parseError.offset));
    if (!doc.isObject())
        return d->fail(ExitFailure, QStringLiteral("%1: malformed status: not a JSON object").arg(origin));
    const QJsonObject object = doc.object();
    if (object.value(key::kProgram).toString() != program)
        return d->fail(ExitFailure, QStringLiteral("%1: malformed status: not one of %2").arg(origin, program));
    const double pid = object.value(key::kPid).toDouble(-1);
    if (pid < 1 || pid > 2147483647.0 || std::floor(pid) != pid)
        return d->fail(ExitFailure, QStringLiteral("%1: malformed status: no valid pid").arg(origin));
    d->object = object;
    if (!processAlive(static_cast<qint64>(pid), program))
        return d->fail(ExitNotRunning, QStringLiteral("%1 is not running: its process %2 has ended "
                                                      "(status of %3 in %4)")
                                           .arg(program)
                                           .arg(static_cast<qint64>(pid))
                                           .arg(shown(object.value(key::kUpdated)), origin));
    return true;
}

int StatusView::exitCode() const
{
    return d->exitCode;
}

QString StatusView::error() const
{
    return d->error;
}

QJsonObject StatusView::object() const
{
    return d->object;
}

QString StatusView::table(Part part) const
{
    switch (part) {
    case Overview:
        return d->overview();
    case Policy:
        return d->policy();
    case UsbDevices:
        return d->usbDevices();
    }
    return QString();
}

QByteArray StatusView::json(Part part) const
{
    switch (part) {
    case Overview: {
        QJsonObject overview = d->object;
        overview.remove(key::kPolicy);
        overview.remove(key::kUsbDevices);
        return QJsonDocument(overview).toJson(QJsonDocument::Indented);
    }
    case Policy: {
        const QJsonValue policy = d->object.value(key::kPolicy);
        if (!policy.isObject())
            return QByteArrayLiteral("null\n");
        return QJsonDocument(policy.toObject()).toJson(QJsonDocument::Indented);
    }
    case UsbDevices:
        return QJsonDocument(d->object.value(key::kUsbDevices).toArray())
            .toJson(QJsonDocument::Indented);
    }
    return QByteArray();
}

QString StatusView::systemStatusPath()
{
    return vorn::status::qargStatusPath();
}

QString StatusView::systemDetailPath()
{
    return vorn::status::qargDetailPath();
}

QString StatusView::sessionStatusPath(const QString& user, QString* error, QString* trusted)
{
    if (trusted)
        trusted->clear();
    if (user.isEmpty())
        return vorn::status::sessionStatusPath(vorn::status::stateHome());
    const QString home = homeOf(user);
    if (home.isEmpty()) {
        if (error)
            *error = QStringLiteral("no such user: %1").arg(printable(user));
        return QString();
    }
    // Below the home, the user decides what the names lead to.
    if (trusted)
        *trusted = QDir::cleanPath(home);
    return vorn::status::sessionStatusPath(vorn::status::defaultStateHome(QDir::cleanPath(home)));
}

bool StatusView::processAlive(qint64 pid, const QString& program)
{
    if (pid < 1 || pid > 2147483647)
        return false;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)
        return false;
    // A crashed program leaves its file behind and its pid may be taken by
    // another process since; a zombie has ended too.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const int open = line.indexOf('(');
    const int close = line.lastIndexOf(')');
    if (open < 0 || close < open || close + 2 >= line.size())
        return true;
    const QByteArray comm = line.mid(open + 1, close - open - 1);
    const char state = line.at(close + 2);
    return state != 'Z' && state != 'X' && comm == program.toUtf8().left(kCommLength);
}

} // namespace lumoctl
