#pragma once

#include <QMetaType>
#include <QString>

#include <memory>

class AbstractPolicy;
struct ResultSlotAnchor;

// The place of one expected result of the document being executed. A
// handler takes one for each result it will record and records through it,
// on any thread, however late. It records exactly once: a second record is
// refused, and when the last copy of a slot goes without a result, it
// records kDroppedText for its key at once, so no document waits for a
// result that can never come. A slot of a document that has ended records
// nothing. Copies share one place; an empty slot records nowhere.
class ResultSlot
{
public:
    static const QString kDroppedText;

    ResultSlot();

    QString key() const;
    // The document the slot belongs to; 0 for an empty slot.
    quint64 document() const;
    // Whether the slot still waits for its result.
    bool isOpen() const;

    // Records the result (its summary for what every local user may read,
    // see AbstractPolicy::appendExecResult). True only for the first record
    // of a slot whose document is still being executed.
    bool record(const QString& result, const QString& summary = QString()) const;

private:
    friend class AbstractPolicy;
    struct State;
    static bool deliver(State& state, const QString& result, const QString& summary);
    ResultSlot(const std::shared_ptr<ResultSlotAnchor>& anchor, quint64 document, const QString& key);

    std::shared_ptr<State> m_state;
};

Q_DECLARE_METATYPE(ResultSlot)
