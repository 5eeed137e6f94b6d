#pragma once

#include <QFlags>

#include <concepts>
#include <functional>
#include <utility>

// What a write of published state changed, in the groups the views subscribe to: a view renders
// again only for a change of something it shows.
enum class ModelChange : unsigned {
    setup = 1u << 0,         // the setup form: code, agent name, workspace, entry mode, submission
    authorization = 1u << 1, // the workspace authorization of an enrolment
    journey = 1u << 2,       // the installation's stage, flags, overall state and progress
    permissions = 1u << 3,   // the permission items, the prompt and the onboarding steps
    channel = 1u << 4,       // the owner setup and the channel binding
    status = 1u << 5,        // the agent's status snapshot, apart from its heartbeats
    heartbeat = 1u << 6,     // when the agent last answered (changes with every sample)
    attention = 1u << 7,     // the error shown, the notice, focus requests, announcements
    activity = 1u << 8,      // the activity list
    operations = 1u << 9,    // the operation on the agent that runs
    updates = 1u << 10,      // the agent update on offer or under way
};
Q_DECLARE_FLAGS(ModelChanges, ModelChange)
Q_DECLARE_OPERATORS_FOR_FLAGS(ModelChanges)

namespace ModelChangeGroups {
// Everything a view can show.
inline constexpr ModelChanges all = ModelChanges::fromInt(0x7ff);
// Everything but the heartbeats: what a status sample that brings nothing new leaves alone.
inline constexpr ModelChanges allButHeartbeat = ModelChanges::fromInt(0x7ff & ~unsigned(ModelChange::heartbeat));
} // namespace ModelChangeGroups

// How published state reaches its observers: `willChange` runs before every write, even of an
// equal value; `changed` gets, after the write, the groups a write actually changed.
struct Publication
{
    std::function<void()> willChange;
    std::function<void(ModelChanges)> changed;

    void announce() const
    {
        if (willChange)
            willChange();
    }
    // Also for state that is not published but shown (a stage, a counter): its group changed.
    void markChanged(ModelChanges changes) const
    {
        if (changed && changes)
            changed(changes);
    }
};

// A published property of the model: every write announces itself *before* the value
// changes, even when the new value equals the old one; a write that changes the value then
// reports its group as changed.
template <typename T>
class Published
{
public:
    // The groups a write from `before` to `after` changed (none for an equal value).
    using Classifier = std::function<ModelChanges(const T &before, const T &after)>;

    Published(Publication publication, ModelChanges group, T initial = T{})
        : m_value(std::move(initial)), m_publication(std::move(publication)), m_group(group)
    {
    }
    Published(Publication publication, Classifier classify, T initial = T{})
        : m_value(std::move(initial)), m_publication(std::move(publication)), m_classify(std::move(classify))
    {
    }
    Published(const Published &) = delete;
    Published &operator=(const Published &) = delete;

    const T &get() const { return m_value; }
    const T &operator()() const { return m_value; }
    operator const T &() const { return m_value; }
    const T *operator->() const { return &m_value; }

    void set(T value)
    {
        const ModelChanges changes = classify(m_value, value);
        m_publication.announce();
        m_value = std::move(value);
        m_publication.markChanged(changes);
    }
    Published &operator=(T value)
    {
        set(std::move(value));
        return *this;
    }

    // Read-modify-write as one published write.
    template <typename F>
    void mutate(F &&change)
    {
        const T before = m_value;
        m_publication.announce();
        std::forward<F>(change)(m_value);
        m_publication.markChanged(classify(before, m_value));
    }

private:
    ModelChanges classify(const T &before, const T &after) const
    {
        if (m_classify)
            return m_classify(before, after);
        if constexpr (std::equality_comparable<T>)
            return before == after ? ModelChanges{} : m_group;
        else
            return m_group;
    }

    T m_value;
    Publication m_publication;
    ModelChanges m_group;
    Classifier m_classify;
};
