// The setup page's permission section: the step of the first permission onboarding, its probe
// and the way to the system's settings.
#include "ui/SetupView.h"

#include "app/AppModel.h"
#include "permissions/PermissionKind.h"
#include "ui/Symbols.h"
#include "ui/UIToken.h"
#include "ui/Views.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

using Typography = UIToken::Typography;

QString permissionHint(PermissionKind kind)
{
    return SetupView::tr("点击后只做检查，不会弹出系统授权框；未通过时按提示在%1设置中添加。").arg(PermissionKinds::title(kind));
}

QString verifyingDetail(PermissionKind kind)
{
    switch (kind) {
    case PermissionKind::screenRecording:
        return SetupView::tr("正在启动截图工具并验证能否读取屏幕，首次运行可能需要一些时间。");
    case PermissionKind::accessibility: return SetupView::tr("正在依次验证 cliclick 和 Agent 使用的 node。");
    case PermissionKind::fullDiskAccess: return SetupView::tr("正在验证 Agent 使用的 node 能否访问受保护文件。");
    }
    return {};
}

QString stepText(PermissionKind kind, AccessibilityStep step)
{
    if (kind != PermissionKind::accessibility)
        return PermissionKinds::title(kind);
    return step == AccessibilityStep::node
               ? QCoreApplication::translate("SetupView", "%1（Node）").arg(PermissionKinds::title(kind))
               : QCoreApplication::translate("SetupView", "%1（cliclick）").arg(PermissionKinds::title(kind));
}

} // namespace

QWidget *SetupView::buildPermissionSection()
{
    QVBoxLayout *layout = nullptr;
    m_permission = makeColumn(layout, 8);
    m_permission->setObjectName(QStringLiteral("permission-onboarding"));

    layout->addWidget(makeDivider());
    layout->addSpacing(6);
    layout->addWidget(makeLabel(tr("首次配置权限"), Typography::section));

    auto *progressRow = new QHBoxLayout;
    progressRow->setSpacing(10);
    progressRow->addWidget(makeLabel(tr("权限"), Typography::meta, true));
    m_permissionBar = new QProgressBar;
    m_permissionBar->setTextVisible(false);
    m_permissionBar->setFixedHeight(6);
    tintProgress(m_permissionBar);
    progressRow->addWidget(m_permissionBar, 1);
    m_permissionProgress = makeLabel({}, Typography::meta, true);
    m_permissionProgress->setWordWrap(false);
    progressRow->addWidget(m_permissionProgress);
    layout->addLayout(progressRow);

    auto *step = new QFrame;
    step->setObjectName(QStringLiteral("permission-step"));
    QColor border = UIToken::accent();
    border.setAlphaF(0.18f);
    step->setStyleSheet(QStringLiteral("QFrame#permission-step { border: 1px solid %1; border-radius: 10px; }")
                            .arg(border.name(QColor::HexArgb)));
    auto *stepLayout = new QVBoxLayout(step);
    stepLayout->setContentsMargins(16, 14, 16, 14);
    stepLayout->setSpacing(7);

    m_permissionKind = new SymbolLabel;
    UIToken::apply(m_permissionKind->textLabel(), Typography::task);
    m_permissionPurpose = makeLabel({}, Typography::body, true);
    m_permissionStep = makeLabel({}, Typography::bodyStrong);
    m_permissionIntro = makeLabel(tr("App 将先运行一次真实探针验证当前权限。"), Typography::body);
    m_permissionHint = makeLabel({}, Typography::meta, true);

    QVBoxLayout *verifying = nullptr;
    m_verifying = makeColumn(verifying, 2);
    auto *verifyingRow = new QHBoxLayout;
    verifyingRow->setSpacing(6);
    verifyingRow->addWidget(new Spinner(13));
    m_verifyingTitle = makeLabel(tr("正在验证系统权限。"), Typography::bodyStrong);
    verifyingRow->addWidget(m_verifyingTitle, 1);
    m_verifyingDetail = makeLabel({}, Typography::meta, true);
    verifying->addLayout(verifyingRow);
    verifying->addWidget(m_verifyingDetail);

    m_guidance = new SymbolLabel(QStringLiteral("exclamationmark.triangle.fill"));
    UIToken::apply(m_guidance->textLabel(), Typography::meta);
    m_guidance->setObjectName(QStringLiteral("permission-guidance"));
    m_settingsFailure = new SymbolLabel(QStringLiteral("exclamationmark.triangle"));
    UIToken::apply(m_settingsFailure->textLabel(), Typography::meta);
    m_settingsFailure->textLabel()->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_settingsFailure->setObjectName(QStringLiteral("permission-settings-failure"));

    m_permissionStart = new QPushButton;
    stylePrimaryButton(m_permissionStart);
    m_permissionStart->setMinimumWidth(140);
    m_permissionSettings = new QPushButton(tr("打开系统设置"));
    styleSecondaryButton(m_permissionSettings);
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    buttons->addWidget(m_permissionStart);
    buttons->addWidget(m_permissionSettings);
    buttons->addStretch(1);

    stepLayout->addWidget(m_permissionKind);
    stepLayout->addWidget(m_permissionPurpose);
    stepLayout->addWidget(m_permissionStep);
    stepLayout->addWidget(m_permissionIntro);
    stepLayout->addWidget(m_permissionHint);
    stepLayout->addWidget(m_verifying);
    stepLayout->addWidget(m_guidance);
    stepLayout->addSpacing(4);
    stepLayout->addLayout(buttons);
    stepLayout->addWidget(m_settingsFailure);
    layout->addWidget(step);

    connect(m_permissionStart, &QPushButton::clicked, this,
            [this] { Quorvantis::startDetached(m_model->continuePermissionOnboarding(), "permission onboarding"); });
    connect(m_permissionSettings, &QPushButton::clicked, this, [this] { m_model->openCurrentPermissionSettings(); });
    return m_permission;
}

void SetupView::renderPermission()
{
    const auto kind = m_model->permissions().currentPermissionOnboardingKind();
    const auto [completed, total] = m_model->permissions().onboardingPermissionProgress();
    m_permissionBar->setRange(0, qMax(1, total));
    m_permissionBar->setValue(completed);
    m_permissionBar->setAccessibleName(tr("权限，已完成 %1 项").arg(completed));
    setTextIfChanged(m_permissionProgress, tr("已完成 %1 项").arg(completed));

    const bool hasStep = kind.has_value();
    for (QWidget *widget : std::initializer_list<QWidget *>{m_permissionKind, m_permissionPurpose, m_permissionStep,
                                                            m_permissionIntro, m_permissionHint, m_permissionStart,
                                                            m_permissionSettings})
        widget->setVisible(hasStep);
    const auto settingsFailure = m_model->permissions().permissionSettingsFailure();
    m_settingsFailure->setVisible(hasStep && settingsFailure.has_value());
    if (settingsFailure)
        m_settingsFailure->setText(*settingsFailure);
    if (!hasStep) {
        m_verifying->hide();
        m_guidance->hide();
        return;
    }

    m_permissionKind->setSymbol(Symbols::forPermission(*kind), 22);
    m_permissionKind->setText(PermissionKinds::title(*kind));
    setTextIfChanged(m_permissionPurpose, PermissionKinds::description(*kind));
    setTextIfChanged(m_permissionStep, tr("当前步骤：%1").arg(stepText(*kind, m_model->permissions().accessibilityStep())));
    setTextIfChanged(m_permissionHint, permissionHint(*kind));

    const bool verifying = m_model->permissions().isVerifyingCurrentPermission();
    m_verifying->setVisible(verifying);
    setTextIfChanged(m_verifyingDetail, verifyingDetail(*kind));
    const bool needsUser = m_model->permissions().permissionNeedsUserAction() && !verifying;
    m_guidance->setVisible(needsUser);
    if (needsUser)
        m_guidance->setText(m_model->permissions().permissionSettingsGuidance());

    m_permissionStart->setText(verifying ? tr("正在验证授权…") : tr("开始授权"));
    // While a probe runs the focus rests on the step and comes back to the button afterwards, so
    // Space goes on instead of opening the settings.
    renderAgentAction(m_permissionStart, *m_model, !m_model->permissions().permissionOperationInFlight(), QString());
}

QStringList SetupView::permissionTexts() const
{
    QStringList texts;
    const auto labels = m_permission->findChildren<QLabel *>();
    for (QLabel *label : labels) {
        if (label->isVisibleTo(this) && !label->text().isEmpty())
            texts.append(label->text());
    }
    const auto buttons = m_permission->findChildren<QPushButton *>();
    for (QPushButton *button : buttons) {
        if (button->isVisibleTo(this))
            texts.append(button->text());
    }
    return texts;
}
