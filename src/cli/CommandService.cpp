#include "cli/CommandService.h"

#include "app/AppModel.h"
#include "app/Diagnostics.h"
#include "app/InterfaceLanguage.h"
#include "app/ProfileFiles.h"
#include "cli/Doctor.h"
#include "cli/StatusReport.h"
#include "core/Tasks.h"
#include "permissions/PermissionKind.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QTimer>

using CommandLine::Answer;
using CommandLine::Request;
using CommandLine::Subcommand;

namespace {

constexpr int protocolVersion = 1;

Answer failed(const QString &message)
{
    return {1, {}, message + u'\n'};
}

QString suggestedPath(const std::optional<QString> &path)
{
    return path ? *path : QDir::current().filePath(Diagnostics::suggestedFileName(QDateTime::currentDateTimeUtc()));
}

Answer exportDiagnostics(const Diagnostics::Report &report, const QString &path)
{
    QString error;
    if (!Diagnostics::write(report, path, &error))
        return failed(QCoreApplication::translate("CommandService", "无法写入 %1：%2").arg(path, error));
    return {0, path + u'\n', QCoreApplication::translate("CommandService", "诊断信息已导出；其中的令牌、密钥、安装码和绑定链接均已移除。\n")};
}

} // namespace

Answer CommandService::statusAnswer(const StatusReport &report, bool json, const QDateTime &now)
{
    if (json)
        return {0, QString::fromUtf8(QJsonDocument(report.toJson()).toJson(QJsonDocument::Indented)), {}};
    return {0, report.toText(now), {}};
}

Answer CommandService::languageAnswer(const QString &profileDirectory, const std::optional<QString> &choice)
{
    const auto chosen = ProfileFiles::language(profileDirectory);
    if (!choice) {
        const QString current = InterfaceLanguage::choose(chosen, QLocale::system().uiLanguages());
        const QString how = chosen ? QCoreApplication::translate("CommandService", "已选定")
                                   : QCoreApplication::translate("CommandService", "跟随系统");
        return {0, QCoreApplication::translate("CommandService", "界面语言：%1（%2）").arg(InterfaceLanguage::displayName(current), how) + u'\n', {}};
    }
    const std::optional<QString> language = *choice == u"system" ? std::nullopt : choice;
    ProfileFiles::setLanguage(profileDirectory, language);
    if (ProfileFiles::language(profileDirectory) != language)
        return failed(QCoreApplication::translate("CommandService", "无法在 %1 中保存界面语言。").arg(profileDirectory));
    const QString next = InterfaceLanguage::choose(language, QLocale::system().uiLanguages());
    const QString text = language ? QCoreApplication::translate("CommandService", "界面语言已设为 %1；重新打开 Quorvantis 后生效。").arg(InterfaceLanguage::displayName(next))
                                  : QCoreApplication::translate("CommandService", "界面语言将跟随系统（%1）；重新打开 Quorvantis 后生效。").arg(InterfaceLanguage::displayName(next));
    return {0, text + u'\n', {}};
}

CommandService::CommandService(AppModel &model, Window window) : m_model(&model), m_window(std::move(window)) {}

QCoro::Task<Answer> CommandService::run(Request request)
{
    QPointer<AppModel> model = m_model;
    if (!model)
        co_return failed(QCoreApplication::translate("CommandService", "Quorvantis 正在退出。"));
    switch (request.command) {
    case Subcommand::status:
        co_return statusAnswer(StatusReport::fromModel(*model), request.json, model->now());
    case Subcommand::doctor: {
        Doctor::Inputs inputs{.home = QDir::homePath(),
                              .profileDirectory = model->profileDirectory(),
                              .permissions = model->permissions().permissions()};
        const QList<Doctor::Check> checks = co_await Doctor::run(std::move(inputs));
        co_return Doctor::answer(checks);
    }
    case Subcommand::restart:
    case Subcommand::recheck:
    case Subcommand::update:
        co_return co_await act(request.command);
    case Subcommand::exportDiagnostics:
        co_return exportDiagnostics(Diagnostics::gather(*model), suggestedPath(request.path));
    case Subcommand::show:
        if (!m_window.show)
            co_return failed(QCoreApplication::translate("CommandService", "这个 Quorvantis 正在执行命令行操作，没有窗口。"));
        m_window.show();
        co_return Answer{};
    case Subcommand::quit:
        if (!m_window.quit)
            co_return failed(QCoreApplication::translate("CommandService", "这个 Quorvantis 正在执行命令行操作，完成后会自行退出。"));
        // After the answer has gone out.
        QTimer::singleShot(0, model, m_window.quit);
        co_return Answer{};
    case Subcommand::language:
        co_return languageAnswer(model->profileDirectory(), request.language);
    }
    co_return failed(QCoreApplication::translate("CommandService", "未知的命令"));
}

QCoro::Task<Answer> CommandService::act(Subcommand command)
{
    QPointer<AppModel> model = m_model;
    if (const auto refusal = model->operations().refusal())
        co_return failed(*refusal);
    if (command == Subcommand::update && !model->journey().configurationReady())
        co_return failed(QCoreApplication::translate("CommandService", "Agent 尚未完成安装，无法更新。"));
    const quint64 errorsBefore = model->attention().errorsShown();
    using Kind = RecoveryAction::Kind;
    if (command == Subcommand::update)
        co_await model->updateAgent();
    else
        co_await model->perform(RecoveryAction::make(command == Subcommand::restart ? Kind::restartAgent : Kind::recheckPermissions));
    if (!model)
        co_return failed(QCoreApplication::translate("CommandService", "Quorvantis 在操作完成前退出了。"));
    const auto &error = model->attention().lastError();
    if (model->attention().errorsShown() != errorsBefore && error)
        co_return failed(QCoreApplication::translate("CommandService", "%1（%2）").arg(error->message, error->code));
    const QString notice = model->attention().notice().value_or(QString());
    if (command == Subcommand::recheck) {
        QStringList missing;
        for (const PermissionItem &item : model->permissions().permissions()) {
            if (item.nativeState != PermissionNativeState::granted)
                missing << PermissionKinds::title(item.rule.kind);
        }
        if (!missing.isEmpty())
            co_return Answer{1, notice.isEmpty() ? QString() : notice + u'\n',
                             QCoreApplication::translate("CommandService", "未授予：%1\n").arg(missing.join(QCoreApplication::translate("CommandService", "、")))};
    }
    if (command == Subcommand::update) {
        const QString version = model->status().statusSnapshot().agentVersion.value_or(QStringLiteral("--"));
        co_return Answer{0, QCoreApplication::translate("CommandService", "已更新 Agent，当前版本 %1\n").arg(version), {}};
    }
    co_return Answer{0, notice.isEmpty() ? QString() : notice + u'\n', {}};
}

void CommandService::handle(const QByteArray &line, std::function<void(QByteArray)> reply)
{
    const auto request = decodeRequest(line);
    if (!request) {
        reply(encode(failed(QCoreApplication::translate("CommandService", "这个请求来自另一个版本的 Quorvantis，无法执行。"))));
        return;
    }
    auto answer = [](CommandService *service, Request request, std::function<void(QByteArray)> reply) -> QCoro::Task<void> {
        reply(encode(co_await service->run(std::move(request))));
    };
    Quorvantis::startDetached(answer(this, *request, std::move(reply)), "command-line request");
}

QByteArray CommandService::encode(const Request &request)
{
    QJsonObject object{{QStringLiteral("protocol"), protocolVersion},
                       {QStringLiteral("command"), CommandLine::name(request.command)},
                       {QStringLiteral("json"), request.json}};
    if (request.path)
        object.insert(QStringLiteral("path"), *request.path);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<Request> CommandService::decodeRequest(const QByteArray &line)
{
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    const auto command = CommandLine::subcommandNamed(object.value(QStringLiteral("command")).toString());
    if (object.value(QStringLiteral("protocol")).toInt() != protocolVersion || !command)
        return std::nullopt;
    Request request{.command = *command, .json = object.value(QStringLiteral("json")).toBool(), .path = std::nullopt,
                    .resources = std::nullopt, .language = std::nullopt};
    // A path is absolute: the client resolved it against its own directory.
    if (const QString path = object.value(QStringLiteral("path")).toString(); QDir::isAbsolutePath(path))
        request.path = path;
    return request;
}

QByteArray CommandService::encode(const Answer &answer)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("protocol"), protocolVersion},
                                     {QStringLiteral("exit"), answer.exitCode},
                                     {QStringLiteral("out"), answer.out},
                                     {QStringLiteral("err"), answer.err}})
        .toJson(QJsonDocument::Compact);
}

std::optional<Answer> CommandService::decodeAnswer(const QByteArray &line)
{
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    if (object.value(QStringLiteral("protocol")).toInt() != protocolVersion || !object.value(QStringLiteral("exit")).isDouble())
        return std::nullopt;
    return Answer{object.value(QStringLiteral("exit")).toInt(), object.value(QStringLiteral("out")).toString(),
                  object.value(QStringLiteral("err")).toString()};
}
