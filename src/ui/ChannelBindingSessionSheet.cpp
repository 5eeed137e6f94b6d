#include "ui/ChannelBindingSessionSheet.h"

#include "app/AppModel.h"
#include "ui/Symbols.h"
#include "ui/UIToken.h"
#include "ui/Views.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShowEvent>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QLabel *makeFailureLabel()
{
    auto *label = makeLabel({}, UIToken::Typography::meta);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, UIToken::destructive());
    label->setPalette(palette);
    return label;
}

QPushButton *makeActionButton(const QString &text, const QString &help)
{
    auto *button = new QPushButton(text);
    button->setAutoDefault(false);
    button->setFocusPolicy(Qt::StrongFocus);
    button->setToolTip(help);
    button->setAccessibleDescription(help);
    styleSecondaryButton(button);
    return button;
}

} // namespace

ChannelBindingSessionSheet::ChannelBindingSessionSheet(AppModel *model, QWidget *parent)
    : QWidget(parent), m_model(model), m_detail(makeLabel({}, UIToken::Typography::body)),
      m_openFailure(makeFailureLabel()), m_error(makeFailureLabel()),
      m_reason(makeLabel({}, UIToken::Typography::meta, true)), m_open(makeActionButton({}, {})),
      m_copy(makeActionButton(tr("复制链接"), tr("复制绑定链接，以便在浏览器中手动打开。"))),
      m_regenerate(makeActionButton(tr("重新生成"), tr("生成新的绑定链接；之前的链接将失效。"))),
      m_refresh(makeActionButton(tr("刷新状态"), tr("重新读取 Channel 绑定状态。"))),
      m_close(new QToolButton), m_loading(new BusyDelay(this, [this] { render(); }))
{
    setObjectName(QStringLiteral("channel-binding-sheet"));
    setWindowTitle(title());
    setMinimumWidth(460);
    m_regenerate->setAccessibleDescription(tr("生成新的 Channel 绑定链接，之前的链接将失效。"));
    m_detail->setObjectName(QStringLiteral("session-detail"));
    m_open->setDefault(true);
    stylePrimaryButton(m_open);

    m_close->setIcon(Symbols::icon(QStringLiteral("xmark")));
    m_close->setIconSize(QSize(12, 12));
    m_close->setAutoRaise(true);
    m_close->setFocusPolicy(Qt::StrongFocus);
    m_close->setToolTip(tr("关闭"));
    m_close->setAccessibleName(tr("关闭"));

    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    auto *heading = makeLabel(title(), UIToken::Typography::screenTitle);
    header->addWidget(heading, 1);
    header->addWidget(m_close, 0, Qt::AlignTop);

    auto *actions = new QHBoxLayout;
    actions->setSpacing(8);
    actions->addWidget(m_open);
    actions->addWidget(m_copy);
    actions->addStretch(1);
    actions->addWidget(m_regenerate);
    actions->addWidget(m_refresh);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 20, 22);
    layout->setSpacing(12);
    layout->addLayout(header);
    layout->addWidget(m_detail);
    layout->addWidget(m_openFailure);
    layout->addWidget(m_error);
    layout->addSpacing(6);
    layout->addLayout(actions);
    m_reason->setObjectName(QStringLiteral("unavailable-reason"));
    layout->addWidget(m_reason);

    connect(m_close, &QToolButton::clicked, this, [this] { m_model->setChannelBindingSheetPresented(false); });
    connect(m_open, &QPushButton::clicked, this,
            [this] { Quorvantis::startDetached(m_model->openOwnerSetup(), "open owner setup"); });
    connect(m_copy, &QPushButton::clicked, this, [this] { m_model->copyOwnerSetupLink(); });
    connect(m_regenerate, &QPushButton::clicked, this, [this] {
        m_loading->pressed();
        Quorvantis::startDetached(m_model->refreshOwnerSetup(true), "regenerate owner setup link");
    });
    connect(m_refresh, &QPushButton::clicked, this, [this] {
        m_loading->pressed();
        Quorvantis::startDetached(m_model->refreshOwnerSetup(false), "refresh owner setup");
    });

    new ModelObserver(model, this, [this] { render(); });
    render();
}

QString ChannelBindingSessionSheet::title()
{
    return tr("绑定 Channel");
}

QString ChannelBindingSessionSheet::sessionDetail(const AppModel &model)
{
    if (model.channel().channelOwnershipVerified() || model.channel().channelBindingCompleted())
        return tr("Ownership verified，正在完成连接并进入面板…");
    if (model.channel().isOpeningOwnerSetup())
        return tr("正在打开系统浏览器。打开后可随时返回本窗口查看进度。");
    if (model.channel().ownerSetupOpenFailed())
        return tr("浏览器没有打开时，请复制链接后在浏览器中完成绑定。");
    if (model.channel().ownerSetupOpenedByAgent())
        return tr("绑定页面已打开，请在系统浏览器中完成操作。Quorvantis 会在后台等待，绑定成功后自动继续。");
    return tr("请在系统浏览器中选择 Channel。Quorvantis 会在后台等待，绑定成功后自动继续。");
}

QStringList ChannelBindingSessionSheet::failureTexts(const AppModel &model)
{
    QStringList texts;
    if (model.channel().ownerSetupOpenFailed() && !model.channel().isOpeningOwnerSetup())
        texts.append(tr("没有成功打开默认浏览器，请复制链接后手动打开，或再次点击重试。"));
    if (const auto &error = model.channel().ownerSetupError(); error && !error->isEmpty())
        texts.append(*error);
    return texts;
}

QString ChannelBindingSessionSheet::accessibilitySummary(const AppModel &model)
{
    QStringList parts{title(), sessionDetail(model)};
    parts.append(failureTexts(model));
    return parts.join(tr("，"));
}

QString ChannelBindingSessionSheet::openHelp(const AppModel &model)
{
    return model.channel().ownerSetupDidOpen() ? tr("再次用系统浏览器打开 Channel 绑定页面。")
                                     : tr("用系统浏览器打开 Channel 绑定页面。");
}

QString ChannelBindingSessionSheet::unavailableReason(const AppModel &model, bool loading)
{
    if (model.channel().canOpenOwnerSetup() && !loading)
        return {};
    if (loading)
        return tr("正在获取绑定链接…");
    // A failed refresh says itself what went wrong and what to do.
    if (!model.channel().ownerSetupPending() || model.channel().isOpeningOwnerSetup() || model.channel().ownerSetupError())
        return {};
    if (model.channel().ownerSetupOpenedByAgent())
        return tr("绑定页面是 Agent 打开的，这里没有它的链接。需要再次打开或复制时，请点击“重新生成”。");
    return tr("还没有可用的绑定链接，请点击“重新生成”。");
}

void ChannelBindingSessionSheet::render()
{
    setTextIfChanged(m_detail, sessionDetail(*m_model));

    const bool openFailed = m_model->channel().ownerSetupOpenFailed() && !m_model->channel().isOpeningOwnerSetup();
    setTextIfChanged(m_openFailure, openFailed ? failureTexts(*m_model).value(0) : QString());
    m_openFailure->setVisible(openFailed);
    const auto &error = m_model->channel().ownerSetupError();
    const bool hasError = error && !error->isEmpty();
    setTextIfChanged(m_error, hasError ? *error : QString());
    m_error->setVisible(hasError);

    // Opening and copying need a link and no browser open in flight (the model's own guard); a
    // new link or a re-read waits for the refresh that may replace the link.
    const bool canUseLink = m_model->channel().canOpenOwnerSetup();
    const bool loading = m_loading->shown(m_model->channel().isLoadingOwnerSetup());
    m_open->setText(m_model->channel().ownerSetupOpenButtonTitle());
    m_open->setToolTip(openHelp(*m_model));
    m_open->setAccessibleDescription(openHelp(*m_model));
    m_open->setEnabled(canUseLink && !loading);
    m_copy->setText(m_model->channel().ownerSetupLinkCopied() ? tr("已复制") : tr("复制链接"));
    m_copy->setEnabled(canUseLink && !loading);
    m_regenerate->setEnabled(!loading && !m_model->channel().isOpeningOwnerSetup());
    m_refresh->setEnabled(!loading);
    const QString reason = unavailableReason(*m_model, loading);
    setTextIfChanged(m_reason, reason);
    m_reason->setVisible(!reason.isEmpty());

    const QString summary = accessibilitySummary(*m_model);
    if (accessibleName() != summary)
        setAccessibleName(summary);
}

void ChannelBindingSessionSheet::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // A window brought back from being minimised is not the sheet appearing again.
    if (event->spontaneous())
        return;
    render();
    Quorvantis::startDetached(m_model->noteChannelBindingSessionAppeared(appearanceRefreshDelay),
                              "channel binding sheet appeared");
}
