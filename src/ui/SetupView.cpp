#include "permissions/PermissionKind.h"
#include "platform/PlatformWords.h"
#include "ui/SetupView.h"

#include "app/AppModel.h"
#include "ui/AuthorizationCard.h"
#include "ui/Symbols.h"
#include "ui/UIToken.h"
#include "ui/Views.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

namespace {

using Typography = UIToken::Typography;
using InstallStage = AppModel::InstallStage;

// Counts the code's letters and digits before `position`: the formatter only inserts and
// removes hyphens, so this count finds the same place in the reformatted text.
int significantBefore(const QString &text, int position)
{
    int count = 0;
    for (int i = 0; i < qMin(position, int(text.size())); ++i) {
        if (text.at(i).isLetterOrNumber())
            ++count;
    }
    return count;
}

int positionAfterSignificant(const QString &text, int count)
{
    if (count == 0)
        return 0;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i).isLetterOrNumber() && --count == 0)
            return i + 1;
    }
    return int(text.size());
}

void setFieldText(QLineEdit *field, const QString &text)
{
    if (field->text() == text)
        return;
    const int kept = significantBefore(field->text(), field->cursorPosition());
    const bool atEnd = field->cursorPosition() == field->text().size();
    field->setText(text);
    field->setCursorPosition(atEnd ? int(text.size()) : positionAfterSignificant(text, kept));
}

QLabel *redLabel()
{
    auto *label = makeLabel({}, Typography::meta);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, UIToken::destructive());
    label->setPalette(palette);
    return label;
}

} // namespace

// ---- Texts --------------------------------------------------------------------------------

QString SetupView::currentStageText(const AppModel &model)
{
    if (model.authorization().setupAuthorization())
        return tr("等待 Workspace 授权");
    if (model.journey().installStage() == InstallStage::channel)
        return tr("等待 Channel 绑定");
    if (const auto kind = model.permissions().currentPermissionOnboardingKind())
        return tr("配置%1").arg(PermissionKinds::title(*kind));
    if (const auto &detail = model.journey().setupProgressDetail())
        return *detail;
    const auto &items = model.journey().setupProgress();
    for (const auto &item : items) {
        if (item.state == AppModel::ProgressState::running)
            return ::title(item.phase);
    }
    for (const auto &item : items) {
        if (item.state == AppModel::ProgressState::failed)
            return tr("%1需要处理").arg(::title(item.phase));
    }
    return model.journey().installStage() == InstallStage::setup ? QCoreApplication::translate("StatusController", "Waiting for setup") : tr("准备安装");
}

QString SetupView::progressSpokenValue(const AppModel &model)
{
    const auto [completed, total] = model.journey().setupProgressCounts();
    return tr("已完成 %1 项，共 %2 项，%3").arg(QString::number(completed), QString::number(total), currentStageText(model));
}

// ---- Construction -------------------------------------------------------------------------

SetupView::SetupView(AppModel *model, QWidget *parent)
    // A request made before the screen existed (the launch asks for the code field) is still
    // the latest one: apply it on the first render.
    : QWidget(parent), m_model(model), m_focusRevision(-1)
{
    setObjectName(QStringLiteral("setup-view"));

    auto *rightContent = new QWidget;
    rightContent->setObjectName(QStringLiteral("setup-content"));
    auto *right = new QVBoxLayout(rightContent);
    right->setContentsMargins(32, 28, 32, 28);
    right->setSpacing(18);

    m_title = makeLabel({}, Typography::screenTitle);
    m_title->setAccessibleName(QString());
    right->addWidget(m_title);
    right->addWidget(buildEntryForm());
    right->addWidget(makeDivider());
    right->addWidget(buildProgressSection());
    right->addWidget(buildPermissionSection());

    QVBoxLayout *errorLayout = nullptr;
    m_errorBlock = makeColumn(errorLayout, 14);
    m_error = new ErrorSection(model, true);
    errorLayout->addWidget(makeDivider());
    errorLayout->addWidget(m_error);
    right->addWidget(m_errorBlock);
    m_notice = makeLabel({}, Typography::meta, true);
    m_notice->setObjectName(QStringLiteral("action-notice"));
    m_notice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    right->addWidget(m_notice);
    right->addStretch(1);

    m_scroll = new QScrollArea;
    m_scroll->setWidget(rightContent);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setAccessibleName(tr("安装 Quorvantis"));

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildLeftColumn());
    layout->addWidget(m_scroll, 1);

    m_observer = new ModelObserver(model, this, [this] { render(); });
    render();
}

QWidget *SetupView::buildLeftColumn()
{
    auto *left = new QFrame;
    left->setObjectName(QStringLiteral("setup-status-column"));
    left->setFixedWidth(300);
    QColor background = UIToken::accent();
    background.setAlphaF(0.045f);
    QColor border = UIToken::accent();
    border.setAlphaF(0.12f);
    left->setStyleSheet(QStringLiteral("QFrame#setup-status-column { background: %1; border-right: 1px solid %2; }")
                            .arg(background.name(QColor::HexArgb), border.name(QColor::HexArgb)));

    m_statusCore = new StatusCore(m_model, 112);
    auto *intro = makeLabel(PlatformWords::forThisComputer(tr("在这台 Mac 上安装、授权并运行 Quorvantis Agent。")),
                            Typography::body);
    intro->setObjectName(QStringLiteral("setup-intro"));
    m_shield = new SymbolLabel(QStringLiteral("lock.shield"));
    UIToken::applySecondary(m_shield->textLabel(), Typography::meta);
    m_stage = makeLabel({}, Typography::bodyStrong);
    m_stage->setObjectName(QStringLiteral("current-stage"));

    auto *layout = new QVBoxLayout(left);
    layout->setContentsMargins(28, 36, 24, 28);
    layout->setSpacing(14);
    layout->addWidget(m_statusCore, 0, Qt::AlignLeft);
    layout->addSpacing(6);
    layout->addWidget(intro);
    layout->addWidget(m_shield);
    layout->addSpacing(4);
    layout->addWidget(m_stage);
    layout->addStretch(1);
    return left;
}

QWidget *SetupView::buildEntryForm()
{
    QVBoxLayout *layout = nullptr;
    m_entryForm = makeColumn(layout, 10);
    m_entryForm->setObjectName(QStringLiteral("setup-entry-form"));

    m_modeHeading = makeLabel({}, Typography::section);
    layout->addWidget(m_modeHeading);

    // Setup-code mode.
    QVBoxLayout *paste = nullptr;
    m_pasteBox = makeColumn(paste, 6);
    m_codeField = new QLineEdit;
    m_codeField->setObjectName(QStringLiteral("setup-code"));
    m_codeField->setPlaceholderText(QStringLiteral("QVS2 / QVI1-XXXX-XXXX-XXXX"));
    m_codeField->setAccessibleName(tr("安装码"));
    m_codeField->setAccessibleDescription(tr("输入管理员提供的 QVS2 或 QVI1 安装码。"));
    m_codeField->setToolTip(tr("输入管理员提供的 QVS2 或 QVI1 安装码。"));
    m_codeField->setMinimumHeight(32);
    styleField(m_codeField);
    QFont codeFont = UIToken::font(Typography::body);
    codeFont.setLetterSpacing(QFont::PercentageSpacing, 104);
    m_codeField->setFont(codeFont);
    m_codeValidation = redLabel();
    m_codeNote = makeLabel({}, Typography::meta, true);
    m_enrollLink = makeLinkButton(tr("没有安装码？申请安装码"));
    m_enrollLink->setToolTip(tr("改用工作区选择创建新 Agent，无需粘贴安装码。"));
    m_enrollLink->setAccessibleDescription(m_enrollLink->toolTip());
    paste->addWidget(m_codeField);
    paste->addWidget(makeLabel(tr("输入管理员提供的 QVS2 或 QVI1 安装码。"), Typography::meta, true));
    paste->addWidget(m_codeValidation);
    paste->addWidget(m_codeNote);
    layout->addWidget(m_pasteBox);

    // The agent name: the enrolment form's first field, and needed in the setup-code form too
    // as soon as the code is a "QVI1-" code, which creates its agent on the spot.
    QVBoxLayout *name = nullptr;
    m_nameBox = makeColumn(name, 6);
    auto *nameLabel = makeLabel(tr("新 Agent 名称"), Typography::bodyStrong);
    m_nameField = new QLineEdit;
    m_nameField->setObjectName(QStringLiteral("agent-name"));
    m_nameField->setPlaceholderText(tr("新 Agent 名称，例如 client-agent"));
    m_nameField->setAccessibleName(tr("新 Agent 名称"));
    m_nameField->setMinimumHeight(32);
    styleField(m_nameField);
    nameLabel->setBuddy(m_nameField);
    m_nameValidation = redLabel();
    // Room for the rule's line is kept while it is hidden.
    QSizePolicy keepsRoom = m_nameValidation->sizePolicy();
    keepsRoom.setRetainSizeWhenHidden(true);
    m_nameValidation->setSizePolicy(keepsRoom);
    m_nameValidation->setMinimumHeight(m_nameValidation->fontMetrics().height());
    name->addSpacing(4);
    name->addWidget(nameLabel);
    name->addWidget(m_nameField);
    name->addWidget(m_nameValidation);
    layout->addWidget(m_nameBox);

    // Enrolment mode.
    QVBoxLayout *enroll = nullptr;
    m_enrollBox = makeColumn(enroll, 6);
    auto *workspaceLabel = makeLabel(tr("工作区"), Typography::bodyStrong);
    m_workspace = new QComboBox;
    m_workspace->setObjectName(QStringLiteral("workspace"));
    for (const auto workspace : allCases<AppModel::EnrollmentWorkspace>()) {
        const QString title = workspace == AppModel::EnrollmentWorkspace::none ? tr("无 Workspace")
            : workspace == AppModel::EnrollmentWorkspace::zoho                 ? QStringLiteral("Zoho")
                                                                               : QStringLiteral("Google");
        m_workspace->addItem(title, rawValue(workspace));
    }
    m_workspace->setAccessibleName(tr("工作区"));
    m_workspace->setAccessibleDescription(tr("选择新 Agent 使用的 Workspace。"));
    m_workspace->setToolTip(tr("选择新 Agent 使用的 Workspace。"));
    m_workspace->setMinimumHeight(30);
    m_workspace->setMinimumWidth(200);
    styleField(m_workspace);
    workspaceLabel->setBuddy(m_workspace);
    auto *workspaceRow = new QHBoxLayout;
    workspaceRow->setSpacing(10);
    workspaceRow->addWidget(workspaceLabel);
    workspaceRow->addWidget(m_workspace);
    workspaceRow->addStretch(1);
    m_installCodeLink = makeLinkButton(tr("改用安装码"));
    m_installCodeLink->setToolTip(tr("返回粘贴 QVS2 或 QVI1 安装码。"));
    m_installCodeLink->setAccessibleDescription(m_installCodeLink->toolTip());
    enroll->addSpacing(4);
    enroll->addLayout(workspaceRow);
    enroll->addWidget(makeLabel(tr("无 Workspace 可稍后绑定。选择 Zoho 或 Google 后会请你完成授权。"),
                                Typography::meta, true));
    enroll->addWidget(makeLabel(tr("将即时创建 Agent。若选择 Workspace，稍后会请你完成授权。"),
                                Typography::meta, true));
    enroll->addWidget(m_installCodeLink, 0, Qt::AlignLeft);
    layout->addWidget(m_enrollBox);
    layout->addWidget(m_enrollLink, 0, Qt::AlignLeft);

    // The primary button, with room for its progress indicator.
    m_primary = new QPushButton;
    m_primary->setObjectName(QStringLiteral("setup-submit"));
    stylePrimaryButton(m_primary);
    m_primary->setMinimumWidth(180);
    m_primarySpinner = new Spinner(14);
    m_primarySpinner->setColor(Qt::white);
    auto *inside = new QHBoxLayout(m_primary);
    inside->setContentsMargins(10, 0, 0, 0);
    inside->addWidget(m_primarySpinner, 0, Qt::AlignVCenter | Qt::AlignLeft);
    inside->addStretch();
    layout->addSpacing(4);
    layout->addWidget(m_primary, 0, Qt::AlignLeft);

    connect(m_codeField, &QLineEdit::textEdited, this, [this](const QString &text) { m_model->setSetupCodeInput(text); });
    connect(m_codeField, &QLineEdit::returnPressed, this, [this] {
        // Reformat first: the field may hold an edit the model has not seen yet.
        m_model->setSetupCodeInput(m_codeField->text());
        submitIfAllowed();
    });
    connect(m_nameField, &QLineEdit::textEdited, this, [this](const QString &text) { m_model->setSetupAgentName(text); });
    connect(m_nameField, &QLineEdit::returnPressed, this, [this] { submitIfAllowed(); });
    connect(m_workspace, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (const auto workspace = fromRawValue<AppModel::EnrollmentWorkspace>(m_workspace->itemData(index).toString()))
            m_model->setEnrollmentWorkspace(*workspace);
    });
    connect(m_enrollLink, &QPushButton::clicked, this, [this] { m_model->beginEnrollmentSetup(); });
    connect(m_installCodeLink, &QPushButton::clicked, this, [this] { m_model->useInstallCodeSetup(); });
    connect(m_primary, &QPushButton::clicked, this, [this] { submitIfAllowed(); });
    return m_entryForm;
}

QWidget *SetupView::buildProgressSection()
{
    QVBoxLayout *layout = nullptr;
    QWidget *section = makeColumn(layout, 8);
    section->setObjectName(QStringLiteral("setup-progress"));

    layout->addWidget(makeLabel(tr("安装进度"), Typography::section));
    m_progressBar = new QProgressBar;
    m_progressBar->setRange(0, 1000);
    m_progressBar->setTextVisible(false);
    m_progressBar->setFixedHeight(6);
    m_progressBar->setAccessibleName(tr("安装进度"));
    tintProgress(m_progressBar);
    layout->addWidget(m_progressBar);
    layout->addSpacing(2);

    for (const auto &item : m_model->journey().setupProgress()) {
        ProgressRow row{new QWidget, new QLabel, new Spinner(13), makeLabel(::title(item.phase), Typography::body),
                        redLabel()};
        row.failed->setText(tr("失败"));
        row.mark->setFixedSize(16, 16);
        row.mark->setAlignment(Qt::AlignCenter);
        auto *markBox = new QWidget;
        markBox->setFixedSize(16, 16);
        auto *markLayout = new QHBoxLayout(markBox);
        markLayout->setContentsMargins(0, 0, 0, 0);
        markLayout->addWidget(row.mark, 0, Qt::AlignCenter);
        markLayout->addWidget(row.spinner, 0, Qt::AlignCenter);
        auto *rowLayout = new QHBoxLayout(row.row);
        rowLayout->setContentsMargins(0, 0, 0, 0);
        rowLayout->setSpacing(8);
        rowLayout->addWidget(markBox);
        rowLayout->addWidget(row.title);
        rowLayout->addWidget(row.failed);
        rowLayout->addStretch(1);
        row.title->setWordWrap(false);
        layout->addWidget(row.row);
        m_rows.append(row);
    }

    m_detail = makeLabel({}, Typography::meta, true);
    m_detail->setObjectName(QStringLiteral("setup-progress-detail"));
    m_detail->setContentsMargins(24, 0, 0, 2);
    layout->addWidget(m_detail);
    m_progressLayout = layout;

    QVBoxLayout *package = nullptr;
    m_package = makeColumn(package, 4);
    m_package->setObjectName(QStringLiteral("package-progress"));
    package->addWidget(makeLabel(tr("正在安装 Quorvantis"), Typography::meta));
    m_packageBar = new QProgressBar;
    m_packageBar->setTextVisible(false);
    m_packageBar->setFixedHeight(6);
    tintProgress(m_packageBar);
    m_packageCaption = makeLabel({}, Typography::caption, true);
    package->addWidget(m_packageBar);
    package->addWidget(m_packageCaption);
    layout->addSpacing(4);
    layout->addWidget(m_package);

    m_card = new AuthorizationCard(m_model);
    layout->addSpacing(6);
    layout->addWidget(m_card);
    return section;
}

// ---- Rendering ----------------------------------------------------------------------------

void SetupView::render()
{
    const bool setupStage = m_model->journey().installStage() == InstallStage::setup;

    const QString stage = currentStageText(*m_model);
    setTextIfChanged(m_stage, stage);
    m_stage->setAccessibleName(tr("当前安装阶段，%1").arg(stage));
    m_shield->setText(setupStage ? tr("安装码只用于设备注册，不会写入日志或本地设置。")
                                 : tr("App 会先完成环境安装和系统授权。"));
    setTextIfChanged(m_title, setupStage ? tr("Setup Quorvantis") : tr("安装 Quorvantis"));

    m_entryForm->setVisible(setupStage && !m_model->journey().configurationReady());
    renderEntryForm();
    renderProgress();
    const bool permissionStage = m_model->journey().installStage() == InstallStage::permissions;
    m_permission->setVisible(permissionStage);
    renderPermission();
    if (permissionStage && !m_permissionShown) {
        // The step is what the user has to act on: bring it into view once it appears.
        scrollIntoView(m_permission);
    }
    m_permissionShown = permissionStage;
    const auto &error = m_model->attention().lastError();
    m_errorBlock->setVisible(error.has_value());
    if (error && error != m_shownError)
        scrollIntoView(m_errorBlock);
    m_shownError = error;
    const auto line = actionLine(*m_model);
    setTextIfChanged(m_notice, line.value_or(QString()));
    m_notice->setVisible(line.has_value());
    applyFocusRequest();
    m_rendered = true;
}

void SetupView::scrollIntoView(QWidget *widget)
{
    // The screen opens at its top, with the heading and the progress in view: only what
    // appears while the user is looking moves the view.
    if (!m_rendered)
        return;
    QTimer::singleShot(0, this, [this, widget] {
        // A part that has just appeared has no place yet until the pending layouts ran.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        m_scroll->ensureWidgetVisible(widget, 0, 24);
    });
}

void SetupView::renderEntryForm()
{
    const bool enroll = m_model->setup().setupEntryMode() == AppModel::SetupEntryMode::enroll;
    setTextIfChanged(m_modeHeading, enroll ? tr("创建新 Agent") : tr("连接已有 Agent"));
    m_pasteBox->setVisible(!enroll);
    m_enrollBox->setVisible(enroll);
    m_enrollLink->setVisible(!enroll);
    m_nameBox->setVisible(enroll || m_model->setup().setupCode().startsWith(u"QVI1-"));

    setFieldText(m_codeField, m_model->setup().setupCode());
    const auto codeMessage = m_model->setup().setupCodeValidationMessage();
    m_codeValidation->setVisible(codeMessage.has_value());
    setTextIfChanged(m_codeValidation, codeMessage.value_or(QString()));
    setTextIfChanged(m_codeNote, m_model->setup().setupCode().startsWith(u"QVI1-")
                                     ? tr("将即时创建 Agent。若安装码包含 Workspace，稍后会请你完成授权。")
                                     : tr("注册完成后会启动 Agent，并进入 Channel 绑定。"));
    m_enrollLink->setEnabled(m_model->setup().canRequestEnrollmentSetup());

    setFieldText(m_nameField, m_model->setup().setupAgentName());
    // An untouched field is not a mistake yet: the rule shows once something is typed, in room
    // kept for it, so nothing below moves when it appears.
    const auto nameMessage = m_model->setup().setupAgentNameValidationMessage();
    m_nameValidation->setVisible(nameMessage.has_value()
                                 && (m_nameRuleRequested || !m_model->setup().setupAgentName().trimmed().isEmpty()));
    setTextIfChanged(m_nameValidation, nameMessage.value_or(m_nameValidation->text()));
    {
        const QSignalBlocker blocker(m_workspace);
        m_workspace->setCurrentIndex(m_workspace->findData(rawValue(m_model->setup().enrollmentWorkspace())));
    }
    m_installCodeLink->setEnabled(m_model->setup().canUseInstallCodeSetup());

    const bool submitting = m_model->setup().isSubmittingSetup();
    m_primary->setText(submitting ? tr("正在注册…") : tr("继续设置"));
    m_primarySpinner->setVisible(submitting);
    renderAgentAction(m_primary, *m_model, m_model->setup().canSubmitSetup(), QString());
}

void SetupView::renderProgress()
{
    m_progressBar->setValue(int(qBound(0.0, m_model->journey().setupProgressFraction(), 1.0) * 1000 + 0.5));
    m_progressBar->setAccessibleDescription(progressSpokenValue(*m_model));

    const auto &items = m_model->journey().setupProgress();
    for (int i = 0; i < m_rows.size() && i < items.size(); ++i) {
        const ProgressRow &row = m_rows[i];
        const auto state = items[i].state;
        QString symbol;
        if (state == AppModel::ProgressState::complete)
            symbol = QStringLiteral("checkmark.circle.fill");
        else if (state == AppModel::ProgressState::failed)
            symbol = QStringLiteral("xmark.circle.fill");
        else if (state == AppModel::ProgressState::pending)
            symbol = QStringLiteral("circle");
        const bool running = state == AppModel::ProgressState::running;
        row.spinner->setVisible(running);
        row.mark->setVisible(!running);
        if (row.mark->property("symbol").toString() != symbol) {
            row.mark->setProperty("symbol", symbol);
            row.mark->setPixmap(Symbols::icon(symbol).pixmap(QSize(15, 15), devicePixelRatioF()));
        }
        row.failed->setVisible(state == AppModel::ProgressState::failed);
        QPalette palette = row.title->palette();
        palette.setColor(QPalette::WindowText, state == AppModel::ProgressState::pending ? UIToken::secondaryLabel(this)
                                                                                         : this->palette().color(QPalette::WindowText));
        row.title->setPalette(palette);
        UIToken::apply(row.title, running ? Typography::bodyStrong : Typography::body);
        const QStringList stateNames{tr("等待"), tr("进行中"), tr("已完成"), tr("失败")};
        row.row->setAccessibleName(tr("%1，%2").arg(::title(items[i].phase), stateNames.value(int(state))));
    }

    // The detail reads as the running phase's sub-line; without a running phase it follows the rows.
    const auto &detail = m_model->journey().setupProgressDetail();
    m_detail->setVisible(detail.has_value());
    setTextIfChanged(m_detail, detail.value_or(QString()));
    QWidget *anchor = m_rows.isEmpty() ? nullptr : m_rows.last().row;
    for (int i = 0; i < m_rows.size() && i < items.size(); ++i) {
        if (items[i].state == AppModel::ProgressState::running) {
            anchor = m_rows[i].row;
            break;
        }
    }
    if (anchor) {
        const int wanted = m_progressLayout->indexOf(anchor) + 1;
        const int current = m_progressLayout->indexOf(m_detail);
        if (current != wanted) {
            m_progressLayout->removeWidget(m_detail);
            m_progressLayout->insertWidget(m_progressLayout->indexOf(anchor) + 1, m_detail);
        }
    }

    // The package bar belongs to the package step of the runtime preparation only: the model
    // keeps its last count after that step, and a full bar under a finished stage misleads.
    const auto &package = m_model->journey().packageInstallProgress();
    const bool showsPackage = m_model->setup().showsPackageInstallProgress();
    m_package->setVisible(showsPackage);
    if (showsPackage && package && package->total > 0) {
        const int percent = package->percentage();
        m_packageBar->setRange(0, package->total);
        m_packageBar->setValue(qMin(package->completed, package->total));
        setTextIfChanged(m_packageCaption,
                         QStringLiteral("%1/%2 · %3%").arg(package->completed).arg(package->total).arg(percent));
        m_packageBar->setAccessibleName(tr("安装 Quorvantis"));
        m_packageBar->setAccessibleDescription(
            tr("已安装 %1 个包，共 %2 个，%3%").arg(package->completed).arg(package->total).arg(percent));
    } else if (showsPackage) {
        m_packageBar->setRange(0, 0);
        setTextIfChanged(m_packageCaption, tr("正在计算安装内容…"));
        m_packageBar->setAccessibleName(tr("正在计算安装内容"));
        m_packageBar->setAccessibleDescription(QString());
    }

    const bool authorizing = m_model->authorization().setupAuthorization().has_value();
    m_card->setVisible(authorizing);
    if (authorizing && !m_cardShown) {
        // The setup run waits for the user here: bring the card into view as it appears.
        scrollIntoView(m_card);
    }
    m_cardShown = authorizing;
}

void SetupView::applyFocusRequest()
{
    if (m_model->attention().focusRevision() == m_focusRevision)
        return;
    m_focusRevision = m_model->attention().focusRevision();
    const auto target = m_model->attention().focusTarget();
    if (target.kind == AppModel::FocusTarget::Kind::setupCode) {
        // The field to fill: the code, or the agent's name when enrolling.
        if (m_codeField->isVisibleTo(this))
            m_codeField->setFocus(Qt::OtherFocusReason);
        else if (m_nameField->isVisibleTo(this))
            m_nameField->setFocus(Qt::OtherFocusReason);
    } else if (target.kind == AppModel::FocusTarget::Kind::permission && m_permission->isVisibleTo(this)) {
        scrollIntoView(m_permission);
        if (target.permission == m_model->permissions().currentPermissionOnboardingKind() && m_permissionStart->isEnabled())
            m_permissionStart->setFocus(Qt::OtherFocusReason);
    }
}

void SetupView::submitIfAllowed()
{
    // Return does what the button does, and nothing while the button is disabled: a malformed
    // code is a validation message under the field, not an error of the installation.
    if (!m_entryForm->isVisible())
        return;
    if (m_model->setup().canSubmitSetup() && m_model->operations().acceptsPress()) {
        Quorvantis::startDetached(m_model->submitActiveSetup(), "setup submission");
        return;
    }
    // What is missing shows where it is missing: an empty name's rule appears now.
    m_nameRuleRequested = true;
    renderEntryForm();
}

void SetupView::keyPressEvent(QKeyEvent *event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && event->modifiers() == Qt::NoModifier && !qobject_cast<QLineEdit *>(focusWidget())
        && m_entryForm->isVisible()) {
        submitIfAllowed();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

QLabel *SetupView::shieldNote() const
{
    return m_shield->textLabel();
}
