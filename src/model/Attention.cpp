#include "model/Attention.h"

Attention::Attention(std::function<void()> announce, Clock clock)
    : m_clock(std::move(clock)),
      m_lastError(announce),
      m_notice(announce),
      m_activities(announce),
      m_focusTarget(announce, FocusTarget::setupCode()),
      m_focusRevision(announce, 0),
      m_announcementRevision(announce, 0),
      m_announcement(announce)
{
}

void Attention::showError(DisplayError error)
{
    ++m_errorsShown;
    m_lastError = std::move(error);
}

void Attention::clearError()
{
    m_lastError = std::nullopt;
}

void Attention::showNotice(QString text)
{
    m_notice = std::move(text);
}

void Attention::clearNotice()
{
    if (m_notice())
        m_notice = std::nullopt;
}

void Attention::requestFocus(FocusTarget target)
{
    m_focusTarget = target;
    m_focusRevision = m_focusRevision() + 1;
}

void Attention::appendActivity(const QString &summary, ActivityEvent::Source source)
{
    ActivityEvent event{QUuid::createUuid(), m_clock(), source, summary};
    m_activities.mutate([&](QList<ActivityEvent> &list) {
        list.prepend(std::move(event));
        while (list.size() > 20)
            list.removeLast();
    });
}
