#include "ui/AuthorizationCard.h"

#include "app/AppModel.h"
#include "platform/Desktop.h"
#include "ui/UIToken.h"
#include "ui/Views.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QPushButton *borderlessButton(const QString &text)
{
    auto *button = makeLinkButton(text);
    button->setStyleSheet(button->styleSheet() + QStringLiteral("QPushButton { text-align: right; padding: 2px 4px; }"));
    return button;
}

} // namespace

AuthorizationCard::AuthorizationCard(AppModel *model, QWidget *parent, Copier copier)
    : QFrame(parent), m_model(model), m_copier(copier ? std::move(copier) : Copier(&Desktop::copyText)),
      m_title(new SymbolLabel(QStringLiteral("person.badge.key"))), m_email(new QLabel), m_password(new QLabel),
      m_copyEmail(borderlessButton(tr("复制邮箱"))), m_reveal(borderlessButton(tr("显示"))),
      m_copyPassword(borderlessButton(tr("复制密码"))), m_open(new QPushButton),
      m_openSpinner(new Spinner(14)), m_failure(new SymbolLabel(QStringLiteral("exclamationmark.triangle"))),
      m_observer(new ModelObserver(model, this, [this] { render(); }))
{
    setObjectName(QStringLiteral("authorization-card"));
    setFrameShape(QFrame::StyledPanel);
    QColor background = UIToken::accent();
    background.setAlphaF(0.06f);
    QColor border = UIToken::accent();
    border.setAlphaF(0.28f);
    setStyleSheet(QStringLiteral("QFrame#authorization-card { background: %1; border: 1px solid %2; border-radius: 10px; }")
                      .arg(background.name(QColor::HexArgb), border.name(QColor::HexArgb)));

    UIToken::apply(m_title->textLabel(), UIToken::Typography::bodyStrong);
    UIToken::apply(m_email, UIToken::Typography::body);
    m_email->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_email->setTextFormat(Qt::PlainText);
    m_password->setTextFormat(Qt::PlainText);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(UIToken::font(UIToken::Typography::body).pointSizeF());
    m_password->setFont(mono);

    m_copyEmail->setToolTip(tr("复制邮箱"));
    m_copyPassword->setToolTip(tr("复制密码"));

    auto *instruction = makeLabel(tr("先保存下面的登录信息，再打开授权页面。授权完成后安装会自动继续。"),
                                  UIToken::Typography::meta, true);

    auto *credentials = new QGridLayout;
    credentials->setHorizontalSpacing(10);
    credentials->setVerticalSpacing(6);
    credentials->addWidget(makeLabel(tr("邮箱"), UIToken::Typography::meta, true), 0, 0);
    credentials->addWidget(m_email, 0, 1);
    credentials->addWidget(m_copyEmail, 0, 3);
    credentials->addWidget(makeLabel(tr("密码"), UIToken::Typography::meta, true), 1, 0);
    credentials->addWidget(m_password, 1, 1);
    credentials->addWidget(m_reveal, 1, 2);
    credentials->addWidget(m_copyPassword, 1, 3);
    credentials->setColumnStretch(1, 1);

    auto *openRow = new QHBoxLayout(m_open);
    openRow->setContentsMargins(10, 0, 0, 0);
    openRow->addWidget(m_openSpinner, 0, Qt::AlignVCenter | Qt::AlignLeft);
    openRow->addStretch();
    m_open->setAutoDefault(false);
    stylePrimaryButton(m_open);
    m_openSpinner->setColor(Qt::white);

    QPalette failurePalette = m_failure->textLabel()->palette();
    failurePalette.setColor(QPalette::WindowText, UIToken::destructive());
    m_failure->textLabel()->setPalette(failurePalette);
    UIToken::apply(m_failure->textLabel(), UIToken::Typography::meta);
    m_failure->textLabel()->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *footnote = makeLabel(tr("登录信息只保存在当前安装过程中，不会写入 App 设置或日志。"),
                               UIToken::Typography::caption, true);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(8);
    layout->addWidget(m_title);
    layout->addWidget(instruction);
    layout->addLayout(credentials);
    layout->addWidget(m_open);
    layout->addWidget(m_failure);
    layout->addWidget(footnote);

    connect(m_copyEmail, &QPushButton::clicked, this, [this] {
        if (const auto &request = m_model->authorization().setupAuthorization()) {
            // Only the last copy says so: the clipboard holds one of the two.
            m_copiedEmail = m_copier(request->email);
            m_copiedPassword = false;
            render();
        }
    });
    connect(m_copyPassword, &QPushButton::clicked, this, [this] {
        if (const auto &request = m_model->authorization().setupAuthorization()) {
            m_copiedPassword = m_copier(request->password);
            m_copiedEmail = false;
            render();
        }
    });
    connect(m_reveal, &QPushButton::clicked, this, [this] { setRevealsSetupPassword(!m_revealsPassword); });
    connect(m_open, &QPushButton::clicked, this,
            [this] { Quorvantis::startDetached(m_model->openSetupAuthorization(), "open workspace authorization"); });
    render();
}

QLabel *AuthorizationCard::titleLabel() const
{
    return m_title->textLabel();
}

void AuthorizationCard::setRevealsSetupPassword(bool reveals)
{
    m_revealsPassword = reveals;
    render();
}

void AuthorizationCard::render()
{
    const auto &request = m_model->authorization().setupAuthorization();
    if (!request)
        return;
    const QString provider = request->provider == u"google" ? QStringLiteral("Google") : QStringLiteral("Zoho");
    m_title->setText(tr("完成 %1 Workspace 授权").arg(provider));
    setTextIfChanged(m_email, request->email);
    m_email->setAccessibleName(tr("邮箱，%1").arg(request->email));

    if (m_revealsPassword) {
        setTextIfChanged(m_password, request->password);
        m_password->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        m_password->setAccessibleName(tr("密码，%1").arg(request->password));
    } else {
        setTextIfChanged(m_password, maskedPassword());
        m_password->setTextInteractionFlags(Qt::NoTextInteraction);
        m_password->setAccessibleName(tr("密码，已隐藏"));
    }
    m_reveal->setText(m_revealsPassword ? tr("隐藏") : tr("显示"));
    m_copyEmail->setText(m_copiedEmail ? tr("已复制") : tr("复制邮箱"));
    m_copyPassword->setText(m_copiedPassword ? tr("已复制") : tr("复制密码"));

    const bool opening = m_model->authorization().isOpeningSetupAuthorization();
    m_open->setText(opening ? tr("正在打开授权页面…") : tr("我已保存登录信息，打开授权页面"));
    m_open->setEnabled(!opening);
    m_openSpinner->setVisible(opening);
    const bool failed = m_model->authorization().setupAuthorizationOpenFailed();
    m_failure->setVisible(failed);
    if (failed)
        m_failure->setText(openFailure(request->authURL));
}

QString AuthorizationCard::openFailure(const QUrl &page)
{
    // Where no browser takes the page, the link is what the user can still use.
    return tr("没有成功打开默认浏览器，请再次点击重试。安装仍在等待授权。也可以复制以下链接，在浏览器中打开：%1")
        .arg(page.toString(QUrl::FullyEncoded));
}
