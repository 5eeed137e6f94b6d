#include "app/Diagnostics.h"

#include "app/AppModel.h"
#include "app/ProfileFiles.h"
#include "setup/BundleStamp.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSysInfo>

#include <algorithm>
#include <cstring>

namespace Diagnostics {

namespace {

const QString root = QStringLiteral("quorvantis-diagnostics/");
const QString removed = QStringLiteral("[REDACTED]");
// Shorter values would cut ordinary words out of the texts; every real secret is far longer.
constexpr qsizetype shortestSecret = 6;
// The log rotates at 2 MiB; a marker is a few bytes. Anything larger is not ours to send.
constexpr qint64 logLimit = 4 * 1024 * 1024;
constexpr qint64 markerLimit = 64 * 1024;

std::optional<QByteArray> readFile(const QString &path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.read(limit);
}

QString readText(const QString &path, qint64 limit)
{
    return QString::fromUtf8(readFile(path, limit).value_or(QByteArray()));
}

QJsonValue optionalText(const std::optional<QString> &text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

QJsonValue optionalTime(const std::optional<QDateTime> &time)
{
    return time ? QJsonValue(time->toUTC().toString(Qt::ISODate)) : QJsonValue(QJsonValue::Null);
}

QJsonObject statusSample(const AppModel::StatusSnapshot &snapshot)
{
    return {
        {QStringLiteral("currentTask"), optionalText(snapshot.currentTask)},
        {QStringLiteral("isWorking"), snapshot.isWorking},
        {QStringLiteral("bridgeConnected"), snapshot.bridgeConnected},
        {QStringLiteral("handshakeComplete"), snapshot.handshakeComplete},
        {QStringLiteral("bridgeHeartbeatAt"), optionalTime(snapshot.bridgeHeartbeatAt)},
        {QStringLiteral("cloudConnected"), snapshot.cloudConnected},
        {QStringLiteral("cloudHeartbeatAt"), optionalTime(snapshot.cloudHeartbeatAt)},
        {QStringLiteral("agentVersion"), optionalText(snapshot.agentVersion)},
        {QStringLiteral("lastErrorCode"), optionalText(snapshot.lastErrorCode)},
        {QStringLiteral("processID"), snapshot.processID ? QJsonValue(double(*snapshot.processID)) : QJsonValue()},
        {QStringLiteral("queueSize"), double(snapshot.queueSize)},
        {QStringLiteral("statusSequence"), double(snapshot.statusSequence)},
    };
}

void addSecret(QStringList &secrets, const QString &value)
{
    const QString trimmed = value.trimmed();
    if (trimmed.size() >= shortestSecret && !secrets.contains(trimmed))
        secrets.append(trimmed);
}

void addJsonSecrets(QStringList &secrets, const QString &path, std::initializer_list<const char *> keys)
{
    const QJsonObject object = QJsonDocument::fromJson(readFile(path, markerLimit).value_or(QByteArray())).object();
    for (const char *key : keys)
        addSecret(secrets, object.value(QLatin1String(key)).toString());
}

// A secret that contains another must go as a whole: the longest are removed first.
void longestFirst(QStringList &secrets)
{
    std::stable_sort(secrets.begin(), secrets.end(), [](const QString &a, const QString &b) { return a.size() > b.size(); });
}

QString removeSecrets(QString text, const QStringList &secrets)
{
    for (const QString &secret : secrets)
        text.replace(secret, removed);
    return text;
}

// Value by value: the line redaction would take a closing quote along with a URL.
QJsonValue redactValue(const QJsonValue &value, const QStringList &secrets)
{
    if (value.isString())
        return redact(value.toString(), secrets);
    if (value.isObject()) {
        QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            *it = redactValue(*it, secrets);
        return object;
    }
    return value;
}

// ---- ustar ------------------------------------------------------------------------------------

void putField(QByteArray &header, int offset, int length, const QByteArray &value)
{
    std::memcpy(header.data() + offset, value.constData(), size_t(qMin<qsizetype>(length, value.size())));
}

void putOctal(QByteArray &header, int offset, int length, qint64 value)
{
    putField(header, offset, length - 1, QByteArray::number(value, 8).rightJustified(length - 1, '0'));
}

QByteArray tarEntry(const QString &name, const QByteArray &content, qint64 mtime)
{
    QByteArray header(512, '\0');
    putField(header, 0, 100, name.toUtf8());
    putOctal(header, 100, 8, 0600);
    putOctal(header, 108, 8, 0);
    putOctal(header, 116, 8, 0);
    putOctal(header, 124, 12, content.size());
    putOctal(header, 136, 12, mtime);
    std::memset(header.data() + 148, ' ', 8);
    header[156] = '0';
    putField(header, 257, 6, QByteArray("ustar", 6));
    putField(header, 263, 2, "00");
    unsigned sum = 0;
    for (const char byte : std::as_const(header))
        sum += static_cast<unsigned char>(byte);
    putField(header, 148, 7, QByteArray::number(sum, 8).rightJustified(6, '0') + '\0');
    QByteArray entry = header + content;
    entry.append(QByteArray((512 - content.size() % 512) % 512, '\0'));
    return entry;
}

} // namespace

Report gather(const AppModel &model)
{
    Report report;
    report.createdAt = QDateTime::currentDateTimeUtc();
    report.profileDirectory = ProfileFiles::profileDirectory(model);
    report.installLog = ProfileFiles::installLog();

    QJsonObject summary{
        {QStringLiteral("createdAt"), report.createdAt.toString(Qt::ISODate)},
        {QStringLiteral("appVersion"), model.appVersion()},
        {QStringLiteral("availableAgentVersion"), optionalText(model.updates().availableAgentVersion())},
        {QStringLiteral("qtVersion"), QString::fromLatin1(qVersion())},
        {QStringLiteral("system"), QSysInfo::prettyProductName()},
        {QStringLiteral("kernel"), QSysInfo::kernelType() + u' ' + QSysInfo::kernelVersion()},
        {QStringLiteral("architecture"), QSysInfo::currentCpuArchitecture()},
        {QStringLiteral("status"), statusSample(model.status().statusSnapshot())},
    };
    if (const auto &error = model.attention().lastError()) {
        QJsonObject shown{{QStringLiteral("code"), error->code},
                          {QStringLiteral("message"), error->message},
                          {QStringLiteral("impact"), error->impact}};
        if (error->detail)
            shown.insert(QStringLiteral("detail"), *error->detail);
        summary.insert(QStringLiteral("lastError"), shown);
    }
    report.summary = summary;

    for (const AppModel::ActivityEvent &event : model.attention().activities()) {
        report.activity.append(event.occurredAt.toUTC().toString(Qt::ISODate) + u'\t'
                               + AppModel::ActivityEvent::sourceName(event.source) + u'\t' + event.summary);
    }

    report.secrets = secretsOf(report.profileDirectory);
    addSecret(report.secrets, model.setup().setupCode());
    longestFirst(report.secrets);
    return report;
}

QStringList secretsOf(const QString &profileDirectory)
{
    const QDir profile(profileDirectory);
    QStringList secrets;
    addSecret(secrets, readText(profile.filePath(QStringLiteral("tui-token")), markerLimit));
    addJsonSecrets(secrets, profile.filePath(QStringLiteral("config.json")), {"quorvantisServiceApiKey"});
    addJsonSecrets(secrets, profile.filePath(QStringLiteral("setup-state.json")), {"setupCode", "resumeToken"});
    if (const auto key = BundleStamp::defaultEnrollmentKeyProvider())
        addSecret(secrets, *key);
    // The binding link, and its token on its own, since the token alone opens the binding.
    const QString link = readText(profile.filePath(QStringLiteral("mac-app-owner-setup-url")), markerLimit).trimmed();
    addSecret(secrets, link);
    addSecret(secrets, link.section(u'#', 1));
    longestFirst(secrets);
    return secrets;
}

QString redact(const QString &text, const QStringList &secrets)
{
    // Through UTF-8 and back: a lone surrogate would make the line's patterns match nothing.
    const QString wellFormed = removeSecrets(QString::fromUtf8(text.toUtf8()), secrets);
    QStringList lines = wellFormed.split(u'\n');
    for (QString &line : lines)
        line = ProfileFiles::redactLine(line);
    // Once more: removing escapes may have joined a secret that they split.
    return removeSecrets(lines.join(u'\n'), secrets);
}

QString suggestedFileName(const QDateTime &at)
{
    return QStringLiteral("quorvantis-diagnostics-%1.tar").arg(at.toLocalTime().toString(QStringLiteral("yyyyMMdd-HHmmss")));
}

bool write(const Report &report, const QString &path, QString *error)
{
    const qint64 mtime = report.createdAt.toSecsSinceEpoch();
    QByteArray archive;
    auto addRedacted = [&](const QString &name, const QString &text) {
        const QString entry = root + name;
        if (entry.toUtf8().size() < 100) // longer names are not ours, and plain ustar has no room
            archive += tarEntry(entry, text.toUtf8(), mtime);
    };
    auto add = [&](const QString &name, const QString &text) { addRedacted(name, redact(text, report.secrets)); };

    const QJsonObject summary = redactValue(report.summary, report.secrets).toObject();
    addRedacted(QStringLiteral("summary.json"),
                removeSecrets(QString::fromUtf8(QJsonDocument(summary).toJson()), report.secrets));
    add(QStringLiteral("activity.txt"), report.activity.isEmpty() ? QString() : report.activity.join(u'\n') + u'\n');
    for (const QString &log : {report.installLog, report.installLog + QStringLiteral(".previous")}) {
        if (QFileInfo(log).isFile())
            add(QStringLiteral("logs/") + QFileInfo(log).fileName(), readText(log, logLimit));
    }
    for (const QString &marker : ProfileFiles::markerNames(report.profileDirectory))
        add(QStringLiteral("profile/") + marker, readText(QDir(report.profileDirectory).filePath(marker), markerLimit));
    archive += QByteArray(1024, '\0');

    QSaveFile file(path);
    const bool written = file.open(QIODevice::WriteOnly)
        && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        && file.write(archive) == archive.size() && file.commit();
    if (!written && error)
        *error = file.errorString();
    return written;
}

} // namespace Diagnostics
