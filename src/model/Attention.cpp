#include "model/Attention.h"

Attention::Attention(Publication publication, Clock clock)
    : m_clock(std::move(clock)),
      m_publication(publication),
      m_lastError(publication, ModelChange::attention),
      m_notice(publication, ModelChange::attention),
      m_activities(publication, ModelChange::activity),
      m_focusTarget(publication, ModelChange::attention, FocusTarget::setupCode()),
      m_focusRevision(publication, ModelChange::attention, 0),
      m_announcementRevision(publication, ModelChange::attention, 0),
      m_announcement(publication, ModelChange::attention)
{
}

void Attention::showError(DisplayError error)
{
    ++m_errorsShown;
    m_lastError = std::move(error);
    // The same error shown again is news too (it is counted).
    m_publication.markChanged(ModelChange::attention);
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
