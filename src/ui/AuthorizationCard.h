#pragma once

#include <QFrame>
#include <QUrl>

#include <functional>

class AppModel;
class ModelObserver;
class QLabel;
class QPushButton;
class Spinner;
class SymbolLabel;

// The workspace authorization card: the new account's credentials and the button that opens
// the authorization page. The reveal and copied states belong to the screen, not the model,
// and the card never resets them itself.
class AuthorizationCard : public QFrame
{
    Q_OBJECT
public:
    // Puts plain text on the clipboard; true when it got there.
    using Copier = std::function<bool(const QString &)>;

    explicit AuthorizationCard(AppModel *model, QWidget *parent = nullptr, Copier copier = {});

    bool revealsSetupPassword() const { return m_revealsPassword; }
    bool copiedSetupEmail() const { return m_copiedEmail; }
    bool copiedSetupPassword() const { return m_copiedPassword; }
    void setRevealsSetupPassword(bool reveals);

    QLabel *titleLabel() const;
    QLabel *emailLabel() const { return m_email; }
    QLabel *passwordLabel() const { return m_password; }
    QPushButton *copyEmailButton() const { return m_copyEmail; }
    QPushButton *revealButton() const { return m_reveal; }
    QPushButton *copyPasswordButton() const { return m_copyPassword; }
    QPushButton *openButton() const { return m_open; }
    SymbolLabel *failureLabel() const { return m_failure; }
    // The line under the button when the page did not open: retry, or copy the link.
    static QString openFailure(const QUrl &page);

    static QString maskedPassword() { return QString(12, QChar(0x2022)); }
    void render();

private:
    AppModel *m_model;
    Copier m_copier;
    bool m_revealsPassword = false;
    bool m_copiedEmail = false;
    bool m_copiedPassword = false;
    SymbolLabel *m_title;
    QLabel *m_email;
    QLabel *m_password;
    QPushButton *m_copyEmail;
    QPushButton *m_reveal;
    QPushButton *m_copyPassword;
    QPushButton *m_open;
    Spinner *m_openSpinner;
    SymbolLabel *m_failure;
    ModelObserver *m_observer;
};
