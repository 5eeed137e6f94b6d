#pragma once

#include "model/ModelTypes.h"
#include "model/Published.h"

#include <QDateTime>
#include <QList>

#include <functional>
#include <optional>

// What the model asks the user to look at: the one error shown, the line that tells how the last
// action ended, the keyboard focus requests, the activity list and the accessibility announcements.
class Attention
{
public:
    using Clock = std::function<QDateTime()>;

    // `publication` announces every published write; `clock` dates the activity entries.
    Attention(Publication publication, Clock clock);

    const std::optional<DisplayError> &lastError() const { return m_lastError(); }
    // How the last action ended (or why it could not run), where nothing else shows it.
    const std::optional<QString> &notice() const { return m_notice(); }
    // How many errors were shown so far: an action that raises the same error again still counts.
    quint64 errorsShown() const { return m_errorsShown; }
    const FocusTarget &focusTarget() const { return m_focusTarget(); }
    qint64 focusRevision() const { return m_focusRevision(); }
    const QList<ActivityEvent> &activities() const { return m_activities(); }
    qint64 announcementRevision() const { return m_announcementRevision(); }
    const QString &announcement() const { return m_announcement(); }

    // A new error replaces the one shown.
    void showError(DisplayError error);
    void clearError();
    void showNotice(QString text);
    void clearNotice();
    // Asks the views to focus `target` again, even when it did not change.
    void requestFocus(FocusTarget target);
    // Newest first, at most 20 entries.
    void appendActivity(const QString &summary, ActivityEvent::Source source = ActivityEvent::Source::agent);

private:
    friend struct AttentionAccess; // tests write the announcements no operation writes yet
    Clock m_clock;
    Publication m_publication;
    quint64 m_errorsShown = 0;
    Published<std::optional<DisplayError>> m_lastError;
    Published<std::optional<QString>> m_notice;
    Published<QList<ActivityEvent>> m_activities;
    Published<FocusTarget> m_focusTarget;
    Published<qint64> m_focusRevision;
    Published<qint64> m_announcementRevision;
    Published<QString> m_announcement;
};
