#include "cli/Doctor.h"

#include "channel/OnboardingDocuments.h"
#include "channel/OwnerSetupLinkStore.h"
#include "cli/TextColumns.h"
#include "core/OnboardingServiceConfiguration.h"
#include "model/ProfileMarkers.h"
#include "permissions/PermissionKind.h"
#include "process/AgentContract.h"
#include "process/AgentScripts.h"
#include "process/QuorvantisNativeError.h"
#include "status/AgentStatusClient.h"

#include <QCoreApplication>
#include <QCoro/QCoroAbstractSocket>
#include <QCoro/QCoroTimer>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkProxy>
#include <QProcess>
#include <QStorageInfo>
#include <QTcpSocket>

namespace Doctor {

namespace {

using namespace std::chrono_literals;

QString restartFix()
{
    return QCoreApplication::translate("Doctor", "运行 quorvantis-companion restart 重新安装并启动 Agent");
}

// Outside the coroutines: g++ 12 cannot build a literal's array inside an aggregate there.
Check named(const QString &name, const QString &fix)
{
    return Check{name, false, {}, fix};
}

QString firstLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readLine(4096)).trimmed();
}

// What a failure says, in one line.
QString describe(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const QuorvantisNativeError &failure) {
        return failure.message.isEmpty() ? failure.code : QCoreApplication::translate("Doctor", "%1（%2）").arg(failure.message, failure.code);
    } catch (const std::exception &failure) {
        return QString::fromUtf8(failure.what()).left(240);
    } catch (...) {
        return QCoreApplication::translate("Doctor", "未知错误");
    }
}

// The first line a program prints for `arguments`; absent when it does not start, fails or takes
// longer than ten seconds.
QCoro::Task<std::optional<QString>> firstOutputLine(QString program, QStringList arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    const QDeadlineTimer deadline(10s);
    process.start(program, arguments, QIODevice::ReadOnly);
    // Polled: the state signal's private tag cannot be awaited safely, and a version answers at once.
    while (process.state() != QProcess::NotRunning) {
        if (deadline.hasExpired())
            process.kill();
        co_await QCoro::sleepFor(20ms);
    }
    if (process.error() == QProcess::FailedToStart || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        co_return std::nullopt;
    co_return QString::fromUtf8(process.readAll()).section(u'\n', 0, 0).trimmed();
}

QCoro::Task<Check> privateRuntime(QString home)
{
    const QString fix = QCoreApplication::translate("Doctor", "重新打开 Quorvantis 完成安装；如仍失败，请删除 ~/%1 后重新打开，让它重新准备运行环境")
                            .arg(AgentContract::runtimeRoot());
    Check check = named(QCoreApplication::translate("Doctor", "私有运行环境"), fix);
    const QDir root(home);
    const QString node = firstLine(root.filePath(AgentContract::nodePathFile()));
    const QString pnpm = root.filePath(AgentContract::runtimeBin() + QStringLiteral("/pnpm"));
    if (node.isEmpty() || !QFileInfo(node).isExecutable()) {
        check.detail = QCoreApplication::translate("Doctor", "没有找到运行环境的 node");
        co_return check;
    }
    if (!QFileInfo(pnpm).isExecutable()) {
        check.detail = QCoreApplication::translate("Doctor", "没有找到运行环境的 pnpm");
        co_return check;
    }
    QStringList arguments{QStringLiteral("--version")};
    const auto version = co_await firstOutputLine(node, std::move(arguments));
    check.passed = version.has_value();
    check.detail = version ? QStringLiteral("node %1").arg(*version) : QCoreApplication::translate("Doctor", "%1 无法运行").arg(node);
    co_return check;
}

QString loginEntry(const QString &home)
{
    if (AgentScripts::hostPlatform() == AgentScripts::Platform::macOS)
        return QDir(home).filePath(QStringLiteral("Library/LaunchAgents/%1.plist").arg(AgentContract::launchAgentLabel()));
    return QDir(home).filePath(QStringLiteral(".config/autostart/%1.desktop").arg(AgentContract::launchAgentLabel()));
}

QCoro::Task<Check> daemon(QString home, QString profileDirectory)
{
    Check check = named(QCoreApplication::translate("Doctor", "Agent 守护进程"), restartFix());
    if (!QFileInfo::exists(loginEntry(home))) {
        check.detail = QCoreApplication::translate("Doctor", "没有登记为登录时启动（%1 不存在）").arg(loginEntry(home));
        co_return check;
    }
    const auto port = AgentStatusClient::parsePort(firstLine(QDir(profileDirectory).filePath(QStringLiteral("tui-port"))));
    if (!port) {
        check.detail = QCoreApplication::translate("Doctor", "Agent 没有写下状态端口");
        co_return check;
    }
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    const QHostAddress loopback(QHostAddress::LocalHost);
    check.passed = co_await qCoro(socket).connectToHost(loopback, *port, QIODevice::ReadWrite, 2s);
    check.detail = check.passed ? QCoreApplication::translate("Doctor", "已登记，端口 %1 有应答").arg(*port)
                                : QCoreApplication::translate("Doctor", "已登记，但端口 %1 没有应答").arg(*port);
    co_return check;
}

QCoro::Task<Check> statusEndpoint(QString profileDirectory)
{
    Check check = named(QCoreApplication::translate("Doctor", "状态通道"), restartFix());
    AgentStatusClient client(profileDirectory);
    std::exception_ptr error;
    try {
        const AgentRuntimeStatus sample = co_await client.fetch();
        check.passed = true;
        check.detail = QCoreApplication::translate("Doctor", "Agent %1，%2").arg(sample.version, sample.ready ? QCoreApplication::translate("Doctor", "已就绪") : QCoreApplication::translate("Doctor", "尚未就绪"));
    } catch (...) {
        error = std::current_exception();
    }
    if (error)
        check.detail = describe(error);
    co_return check;
}

Check permissions(const QString &profileDirectory, const std::optional<QList<PermissionItem>> &live)
{
    QStringList missing;
    if (live) {
        for (const PermissionItem &item : *live) {
            if (item.nativeState != PermissionNativeState::granted || !item.verified)
                missing << PermissionKinds::title(item.rule.kind);
        }
    } else {
        const QSet<PermissionKind> completed = ProfileMarkers::readCompletedPermissions(profileDirectory);
        for (const PermissionKind kind : allCases<PermissionKind>()) {
            if (!completed.contains(kind))
                missing << PermissionKinds::title(kind);
        }
    }
    if (missing.isEmpty())
        return {QCoreApplication::translate("Doctor", "系统权限"), true, QCoreApplication::translate("Doctor", "三项权限均已验证"), {}};
    return {QCoreApplication::translate("Doctor", "系统权限"), false, QCoreApplication::translate("Doctor", "未验证：%1").arg(missing.join(QCoreApplication::translate("Doctor", "、"))),
            QCoreApplication::translate("Doctor", "在系统设置中授予这些权限，然后运行 quorvantis-companion recheck")};
}

Check keychainCheck(const std::optional<QString> &problem)
{
    const bool mac = AgentScripts::hostPlatform() == AgentScripts::Platform::macOS;
    Check check = named(QCoreApplication::translate("Doctor", "钥匙串"), mac ? QCoreApplication::translate("Doctor", "解锁登录钥匙串")
                                                      : QCoreApplication::translate("Doctor", "启动并解锁桌面的 Secret Service（例如 gnome-keyring）"));
    check.passed = !problem;
    check.detail = problem.value_or(QCoreApplication::translate("Doctor", "可以读取"));
    return check;
}

QCoro::Task<Check> keychain(QString profileDirectory)
{
    const auto problem = co_await OwnerSetupLinkStore::keychainProblem(profileDirectory);
    co_return keychainCheck(problem);
}

Check onboardingService(const QString &profileDirectory)
{
    Check check{QCoreApplication::translate("Doctor", "接入服务"), false, {},
                QCoreApplication::translate("Doctor", "用安装码完成设置；已设置过时，请重新运行设置以写回 Agent 的 config.json")};
    try {
        const auto configuration = OnboardingDocuments::readServiceConfiguration(
            profileDirectory, OnboardingServiceConfiguration::bundledOverride());
        check.passed = true;
        check.detail = QCoreApplication::translate("Doctor", "%1，Agent %2").arg(configuration.serviceURL.toString(QUrl::RemoveUserInfo), configuration.agentName);
    } catch (...) {
        check.detail = QCoreApplication::translate("Doctor", "config.json 缺失或不完整：%1").arg(describe(std::current_exception()));
    }
    return check;
}

Check diskSpace(const QString &home)
{
    // Where the runtime lives, or the nearest folder that exists.
    QString place = QDir(home).filePath(AgentContract::agentDirectory());
    if (!QFileInfo::exists(place))
        place = home;
    const QStorageInfo storage(place);
    const qint64 free = storage.bytesAvailable();
    const auto megabytes = [](qint64 bytes) { return QString::number(bytes / (1024 * 1024)); };
    Check check{QCoreApplication::translate("Doctor", "磁盘空间"), free >= neededDiskBytes,
                QCoreApplication::translate("Doctor", "%1 MB 可用").arg(megabytes(free)),
                QCoreApplication::translate("Doctor", "在 %1 所在的磁盘上至少腾出 %2 MB").arg(place, megabytes(neededDiskBytes))};
    return check;
}

} // namespace

QCoro::Task<QList<Check>> run(Inputs inputs)
{
    QList<Check> checks;
    checks << co_await privateRuntime(inputs.home);
    checks << co_await daemon(inputs.home, inputs.profileDirectory);
    checks << co_await statusEndpoint(inputs.profileDirectory);
    checks << permissions(inputs.profileDirectory, inputs.permissions);
    checks << co_await keychain(inputs.profileDirectory);
    checks << onboardingService(inputs.profileDirectory);
    checks << diskSpace(inputs.home);
    co_return checks;
}

CommandLine::Answer answer(const QList<Check> &checks)
{
    TextColumns lines;
    bool allPassed = true;
    for (const Check &check : checks) {
        allPassed = allPassed && check.passed;
        QString line = (check.passed ? QCoreApplication::translate("Doctor", "正常  ") : QCoreApplication::translate("Doctor", "失败  ")) + check.detail;
        if (!check.passed)
            line += QStringLiteral(" → ") + check.fix;
        lines.add(check.name, line);
    }
    return {allPassed ? 0 : 1, lines.text(), {}};
}

} // namespace Doctor
