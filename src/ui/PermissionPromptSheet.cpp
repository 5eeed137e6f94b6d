#include "permissions/PermissionKind.h"
#include "ui/PermissionPromptSheet.h"

#include "app/AppModel.h"
#include "ui/Symbols.h"
#include "ui/UIToken.h"
#include "ui/Views.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

PermissionPromptSheet::PermissionPromptSheet(AppModel *model, QWidget *parent)
    : FittedDialog(parent), m_model(model), m_title(makeLabel({}, UIToken::Typography::screenTitle)),
      m_explanation(makeLabel({}, UIToken::Typography::body)), m_busy(new QWidget), m_spinner(new Spinner(14)),
      m_busyText(makeLabel(tr("正在验证授权…"), UIToken::Typography::meta, true)),
      m_settingsFailure(makeLabel({}, UIToken::Typography::meta, true)),
      m_cancel(new QPushButton(tr("取消"))), m_settings(new QPushButton(tr("打开系统设置"))),
      m_recheck(new QPushButton(tr("重新检查"))), m_primary(new QPushButton),
      m_checking(new BusyDelay(this, [this] { render(); })),
      m_observer(new ModelObserver(model, this, [this] { render(); }))
{
    setObjectName(QStringLiteral("permission-prompt"));
    setWindowTitle(tr("准备授权"));
    setWindowFlag(Qt::Sheet);
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(440);
    setMaximumWidth(520);
    UIToken::tint(this);

    auto *busyRow = new QHBoxLayout(m_busy);
    busyRow->setContentsMargins(0, 0, 0, 0);
    busyRow->setSpacing(6);
    busyRow->addWidget(m_spinner);
    busyRow->addWidget(m_busyText, 1);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addStretch();
    for (QPushButton *button : {m_cancel, m_settings, m_recheck, m_primary}) {
        button->setMinimumWidth(88);
        buttons->addWidget(button);
    }

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 22, 24, 18);
    layout->setSpacing(12);
    layout->addWidget(m_title);
    layout->addWidget(m_explanation);
    layout->addWidget(m_busy);
    m_settingsFailure->setObjectName(QStringLiteral("permission-settings-failure"));
    m_settingsFailure->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_settingsFailure);
    layout->addSpacing(6);
    layout->addLayout(buttons);

    connect(m_cancel, &QPushButton::clicked, this, &PermissionPromptSheet::reject);
    connect(m_settings, &QPushButton::clicked, this, [this] {
        clearPrompt();
        m_model->openCurrentPermissionSettings();
    });
    connect(m_recheck, &QPushButton::clicked, this, [this] {
        m_checking->pressed();
        clearPrompt();
        Quorvantis::startDetached(m_model->advancePermissionOnboarding(), "permission recheck");
    });
    connect(m_primary, &QPushButton::clicked, this, [this] {
        m_checking->pressed();
        Quorvantis::startDetached(m_model->confirmPermissionOnboarding(m_model->permissions().permissionPromptKind()),
                                  "permission confirmation");
    });
    render();
}

QString PermissionPromptSheet::title(std::optional<PermissionKind> kind)
{
    return kind ? tr("准备授权%1").arg(PermissionKinds::title(*kind)) : tr("准备授权");
}

QString PermissionPromptSheet::explanation(std::optional<PermissionKind> kind, AccessibilityStep step)
{
    if (!kind)
        return {};
    switch (*kind) {
    case PermissionKind::screenRecording:
        return tr("Agent 会用自己的截图组件实际读取一次屏幕。若已授权，将直接继续；若未授权，App "
                              "会告诉你要在系统设置里添加哪个组件。");
    case PermissionKind::fullDiskAccess:
        return tr("Agent 会通过真实运行的 node 读取一次受保护文件。若已授权，将直接继续；若未授权，App "
                              "会告诉你要在系统设置里添加哪个组件。");
    case PermissionKind::accessibility:
        return step == AccessibilityStep::node
            ? tr("第一步：验证 Agent 使用的 Node。点击继续后 App 只做检查，不会弹出系统授权框；通过后会自动进入 "
                             "cliclick。")
            : tr("第二步：验证 Agent 使用的 cliclick。点击继续后 App "
                             "只做检查，不会弹出系统授权框；通过后会自动进入下一项权限。");
    }
    return {};
}

QString PermissionPromptSheet::primaryTitle(std::optional<PermissionKind> kind, AccessibilityStep step)
{
    if (kind == PermissionKind::accessibility)
        return step == AccessibilityStep::node ? tr("继续授权Node") : tr("继续授权cliclick");
    return tr("开始验证");
}

void PermissionPromptSheet::clearPrompt()
{
    m_model->dismissPermissionPrompt();
}

void PermissionPromptSheet::reject()
{
    clearPrompt();
    QDialog::reject();
}

void PermissionPromptSheet::render()
{
    const auto kind = m_model->permissions().permissionPromptKind();
    const AccessibilityStep step = m_model->permissions().accessibilityStep();
    setTextIfChanged(m_title, title(kind));
    setTextIfChanged(m_explanation, explanation(kind, step));
    if (kind)
        setWindowIcon(Symbols::icon(Symbols::forPermission(*kind)));

    // While the grant is awaited (a check every half second after System Settings opened) the
    // sheet keeps one look: a steady waiting line, and the buttons as they are. Any other check
    // shows once it outlasts the busy delay, the user's own at once.
    const bool settingsForm = m_model->permissions().permissionSettingsPrompt();
    const bool awaitingGrant = settingsForm && m_model->permissions().permissionReturnTaskRunning();
    const bool inFlight = m_model->permissions().permissionOperationInFlight() || m_model->permissions().isCheckingPermission();
    const bool checking = m_checking->shown(inFlight && !awaitingGrant);
    m_busy->setVisible(checking || awaitingGrant);
    setTextIfChanged(m_busyText, checking ? tr("正在验证授权…") : tr("正在等待授权…"));

    const auto settingsFailure = m_model->permissions().permissionSettingsFailure();
    const bool failureShown = settingsFailure && kind == m_model->permissions().currentPermissionOnboardingKind();
    setTextIfChanged(m_settingsFailure, failureShown ? *settingsFailure : QString());
    m_settingsFailure->setVisible(failureShown);
    m_settings->setVisible(settingsForm);
    m_recheck->setVisible(settingsForm);
    m_primary->setVisible(!settingsForm);
    m_primary->setText(primaryTitle(kind, step));
    renderAgentAction(m_primary, *m_model, !checking, QString());
    renderAgentAction(m_recheck, *m_model, !checking, QString());

    QPushButton *defaultButton = settingsForm ? m_settings : m_primary;
    if (m_defaultButton != defaultButton) {
        m_defaultButton = defaultButton;
        for (QPushButton *button : {m_cancel, m_settings, m_recheck, m_primary}) {
            button->setAutoDefault(false);
            button->setDefault(button == defaultButton);
            if (button == defaultButton)
                stylePrimaryButton(button);
            else
                styleSecondaryButton(button);
        }
    }
    setAccessibleName(m_title->text());
    setAccessibleDescription(m_explanation->text());
}

QStringList PermissionPromptSheet::visibleButtonTitles() const
{
    QStringList titles;
    for (QPushButton *button : {m_cancel, m_settings, m_recheck, m_primary}) {
        if (button->isVisibleTo(this))
            titles.append(button->text());
    }
    return titles;
}
