#include "result_slot.h"

#include "abstract_policy.h"
#include "result_slot_anchor.h"

#include <QMutexLocker>
#include <QtDebug>

#include <atomic>

const QString ResultSlot::kDroppedText = QStringLiteral("failed: no result was recorded");

struct ResultSlot::State
{
    State(const std::shared_ptr<ResultSlotAnchor>& anchor, quint64 document, const QString& key)
        : anchor(anchor)
        , document(document)
        , key(key)
    {
    }
    ~State()
    {
        if (done.load())
            return;
        if (ResultSlot::deliver(*this, kDroppedText, kDroppedText))
            qWarning() << "setting ended without a result:" << key;
    }
    Q_DISABLE_COPY(State)

    std::weak_ptr<ResultSlotAnchor> anchor;
    const quint64 document;
    const QString key;
    std::atomic<bool> done{false};
};

ResultSlot::ResultSlot() = default;

bool ResultSlot::deliver(State& state, const QString& result, const QString& summary)
{
    const std::shared_ptr<ResultSlotAnchor> anchor = state.anchor.lock();
    if (!anchor)
        return false;
    QMutexLocker locker(&anchor->mutex);
    if (!anchor->owner)
        return false;
    return anchor->owner->recordSlot(state.document, state.key, result, summary);
}

ResultSlot::ResultSlot(const std::shared_ptr<ResultSlotAnchor>& anchor, quint64 document,
                       const QString& key)
    : m_state(std::make_shared<State>(anchor, document, key))
{
}

QString ResultSlot::key() const
{
    return m_state ? m_state->key : QString();
}

quint64 ResultSlot::document() const
{
    return m_state ? m_state->document : 0;
}

bool ResultSlot::isOpen() const
{
    return m_state && !m_state->done.load();
}

bool ResultSlot::record(const QString& result, const QString& summary) const
{
    if (!m_state)
        return false;
    if (m_state->done.exchange(true)) {
        qWarning() << "second result for one setting refused:" << m_state->key;
        return false;
    }
    return deliver(*m_state, result, summary);
}
