#include "channel/OwnerSetupLinkStore.h"

#include <QCoro/QCoroSignal>
#include <QDir>
#include <QFileInfo>
#include <qt6keychain/keychain.h>

#include <nlohmann/json.hpp>

#include <cmath>
#include <memory>

namespace {

// Dates are kept as seconds since this instant, the reference date of the macOS build's
// JSON coder, so both builds read each other's entries.
constexpr qint64 referenceDateMSecs = 978'307'200'000; // 2001-01-01T00:00:00Z

// About ±3000 years around the reference date; anything further is not a link expiry.
constexpr double maximumOffsetSeconds = 1e11;

std::optional<QDateTime> dateFromReferenceSeconds(double seconds)
{
    if (!std::isfinite(seconds) || std::fabs(seconds) > maximumOffsetSeconds)
        return std::nullopt;
    const qint64 msecs = referenceDateMSecs + std::llround(seconds * 1000.0);
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}

// A binding link as the onboarding client accepts one: absolute, https with a host (or plain http
// on the loopback name, as the development and bundled services serve it), no user information;
// and one that reads back as itself from the text toJson writes, so that what is stored is what
// loads.
bool isStorableLink(const QUrl &url)
{
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty() || url.authority().contains(u'@'))
        return false;
    const QString scheme = url.scheme();
    if (scheme != u"https" && !(scheme == u"http" && url.host() == u"localhost"))
        return false;
    return QUrl(url.toString(QUrl::FullyEncoded), QUrl::StrictMode) == url;
}

struct DeleteLater
{
    void operator()(QObject *object) const { object->deleteLater(); }
};

template <typename Job>
using JobPointer = std::unique_ptr<Job, DeleteLater>;

template <typename Job>
JobPointer<Job> makeJob(const QString &service, const QString &account)
{
    JobPointer<Job> job(new Job(service));
    // The job must outlive its finished signal, which the coroutine resumes from.
    job->setAutoDelete(false);
    // Never a plaintext file when the keychain is unavailable.
    job->setInsecureFallback(false);
    job->setKey(account);
    return job;
}

QCoro::Task<bool> runJob(QKeychain::Job *job)
{
    // Connected before start(), so a job that finishes at once is not missed.
    auto finished = qCoro(job, &QKeychain::Job::finished);
    job->start();
    co_await std::move(finished);
    co_return job->error() == QKeychain::NoError;
}

} // namespace

QByteArray OwnerSetupLink::toJson() const
{
    nlohmann::json object = nlohmann::json::object();
    object["url"] = url.toString(QUrl::FullyEncoded).toStdString();
    if (expiresAt && expiresAt->isValid())
        object["expiresAt"] = double(expiresAt->toMSecsSinceEpoch() - referenceDateMSecs) / 1000.0;
    return QByteArray::fromStdString(object.dump());
}

std::optional<OwnerSetupLink> OwnerSetupLink::fromJson(const QByteArray &data)
{
    const nlohmann::json object = nlohmann::json::parse(data.constBegin(), data.constEnd(), nullptr, false);
    if (object.is_discarded() || !object.is_object())
        return std::nullopt;
    const auto url = object.find("url");
    if (url == object.end() || !url->is_string())
        return std::nullopt;
    OwnerSetupLink link;
    link.url = QUrl(QString::fromStdString(url->get<std::string>()), QUrl::StrictMode);
    if (!isStorableLink(link.url))
        return std::nullopt;
    const auto expiresAt = object.find("expiresAt");
    if (expiresAt != object.end() && !expiresAt->is_null()) {
        if (!expiresAt->is_number())
            return std::nullopt;
        link.expiresAt = dateFromReferenceSeconds(expiresAt->get<double>());
        if (!link.expiresAt)
            return std::nullopt;
    }
    return link;
}

QString OwnerSetupLinkStore::defaultService()
{
    return QStringLiteral("com.quorvantis.macos.owner-setup");
}

OwnerSetupLinkStore::OwnerSetupLinkStore(QString service, QString account)
    : m_service(std::move(service)), m_account(std::move(account))
{
}

OwnerSetupLinkStore OwnerSetupLinkStore::forProfileDirectory(const QString &profileDirectory)
{
    return OwnerSetupLinkStore(defaultService(), standardizedPath(profileDirectory));
}

QString OwnerSetupLinkStore::standardizedPath(const QString &path)
{
    // Lexical only, like the rest of the system's paths: "." and ".." go, symbolic links stay.
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

namespace {

QCoro::Task<std::optional<OwnerSetupLink>> loadLink(QString service, QString account)
{
    const auto data = co_await OwnerSetupLinkStore::readData(service, account);
    if (!data)
        co_return std::nullopt;
    co_return OwnerSetupLink::fromJson(*data);
}

QCoro::Task<void> saveLink(QString service, QString account, std::optional<OwnerSetupLink> link)
{
    std::optional<QByteArray> data;
    if (link)
        data = link->toJson();
    co_await OwnerSetupLinkStore::writeData(service, account, data);
}

} // namespace

QCoro::Task<std::optional<OwnerSetupLink>> OwnerSetupLinkStore::load() const
{
    return loadLink(m_service, m_account);
}

QCoro::Task<void> OwnerSetupLinkStore::save(std::optional<OwnerSetupLink> link) const
{
    return saveLink(m_service, m_account, std::move(link));
}

QCoro::Task<std::optional<QByteArray>> OwnerSetupLinkStore::readData(QString service, QString account)
{
    auto job = makeJob<QKeychain::ReadPasswordJob>(service, account);
    if (!co_await runJob(job.get()))
        co_return std::nullopt;
    const QByteArray data = job->binaryData();
    if (data.isEmpty())
        co_return std::nullopt;
    co_return data;
}

QCoro::Task<std::optional<QString>> OwnerSetupLinkStore::keychainProblem(QString profileDirectory)
{
    // A read of the profile's entry: found or not, the keychain answered.
    const OwnerSetupLinkStore store = forProfileDirectory(profileDirectory);
    auto job = makeJob<QKeychain::ReadPasswordJob>(store.service(), store.account());
    if (co_await runJob(job.get()) || job->error() == QKeychain::EntryNotFound)
        co_return std::nullopt;
    co_return job->errorString();
}

QCoro::Task<bool> OwnerSetupLinkStore::writeData(QString service, QString account, std::optional<QByteArray> data)
{
    // Delete first, whatever it reports (a missing entry is not an error worth knowing):
    // an entry is replaced, never merged with what was there.
    auto remove = makeJob<QKeychain::DeletePasswordJob>(service, account);
    const bool removed = co_await runJob(remove.get());
    if (!data)
        co_return removed;
    auto write = makeJob<QKeychain::WritePasswordJob>(service, account);
    write->setBinaryData(*data);
    co_return co_await runJob(write.get());
}
