#include "setup/BundleComponents.h"

#include "core/OnboardingServiceConfiguration.h"
#include "platform/Bundle.h"
#include "process/AgentContract.h"
#include "setup/BundleStamp.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <algorithm>

namespace BundleComponents {

namespace {

QString sessionScriptFile()
{
    return AgentContract::sessionScriptName() + u'.' + AgentContract::sessionScriptExtension();
}

bool exists(Component component)
{
    switch (component) {
    case Component::sessionScript:
        return Bundle::resourcePath(AgentContract::sessionScriptName(), AgentContract::sessionScriptExtension())
            .has_value();
    case Component::enrollmentKey: {
        const QStringList candidates = BundleStamp::resourceURLs(BundleStamp::mainBundle());
        return std::any_of(candidates.cbegin(), candidates.cend(),
                           [](const QString &path) { return QFileInfo(path).isFile(); });
    }
    case Component::onboardingServiceURL:
        return !Bundle::infoString(QString::fromUtf16(OnboardingServiceConfiguration::overrideKey))
                    .value_or(QString())
                    .trimmed()
                    .isEmpty();
    }
    return false;
}

QStringList packagedList()
{
    const QString listed = Bundle::infoString(QString::fromUtf16(packagedKey)).value_or(QString());
    QStringList names = listed.split(u',', Qt::SkipEmptyParts);
    for (QString &name : names)
        name = name.trimmed();
    return names;
}

QString lineFor(Component component, State state)
{
    const bool gone = state == State::gone;
    switch (component) {
    case Component::sessionScript:
        return gone ? QCoreApplication::translate("BundleComponents", "会话脚本 %1 已丢失：安装无法开始，请重新安装 Quorvantis。").arg(sessionScriptFile())
                    : QCoreApplication::translate("BundleComponents", "会话脚本 %1 未打包（构建时没有提供 QUORVANTIS_SESSION_SCRIPT）：安装无法开始，"
                                     "重新安装同一个安装包也无济于事，请换用包含该脚本的安装包。")
                          .arg(sessionScriptFile());
    case Component::enrollmentKey:
        return gone ? QCoreApplication::translate("BundleComponents", "注册密钥文件 stamp 已丢失：无法申请安装码，安装码仍可使用；重新安装可恢复。")
                    : QCoreApplication::translate("BundleComponents", "注册密钥文件 stamp 未打包（构建时没有提供 QUORVANTIS_ENROLLMENT_KEY_FILE）："
                                     "无法申请安装码，安装码仍可使用。");
    case Component::onboardingServiceURL:
        return QCoreApplication::translate("BundleComponents", "引导服务地址未打包（构建时没有提供 QUORVANTIS_ONBOARDING_SERVICE_URL）："
                              "使用 Agent 配置中的地址。");
    }
    return {};
}

} // namespace

QString packagedName(Component component)
{
    switch (component) {
    case Component::sessionScript: return QStringLiteral("sessionScript");
    case Component::enrollmentKey: return QStringLiteral("enrollmentKey");
    case Component::onboardingServiceURL: return QStringLiteral("onboardingServiceURL");
    }
    return {};
}

State stateOf(Component component, const QStringList &packaged, bool present)
{
    if (present)
        return State::present;
    // An address is a value of the dictionary itself: it cannot go missing from a package.
    if (component == Component::onboardingServiceURL)
        return State::notPackaged;
    return packaged.contains(packagedName(component)) ? State::gone : State::notPackaged;
}

QList<Report> missing()
{
    const QStringList packaged = packagedList();
    QList<Report> reports;
    for (const Component component :
         {Component::sessionScript, Component::enrollmentKey, Component::onboardingServiceURL}) {
        const State state = stateOf(component, packaged, exists(component));
        if (state != State::present)
            reports.append({component, state, component == Component::sessionScript, lineFor(component, state)});
    }
    return reports;
}

std::optional<QString> sessionScriptNeverPackaged()
{
    const State state = stateOf(Component::sessionScript, packagedList(), exists(Component::sessionScript));
    if (state != State::notPackaged)
        return std::nullopt;
    return QCoreApplication::translate("BundleComponents", "这个安装包构建时没有包含会话脚本 %1，安装无法开始；重新安装同一个安装包也无济于事。"
                          "请向提供安装包的管理员索取包含该脚本的安装包。")
        .arg(sessionScriptFile());
}

QStringList commandLineReport()
{
    const QList<Report> reports = missing();
    if (reports.isEmpty())
        return {};
    QStringList lines{QCoreApplication::translate("BundleComponents", "缺少的组件：")};
    for (const Report &report : reports)
        lines.append(QStringLiteral("  - ") + report.line);
    return lines;
}

} // namespace BundleComponents
