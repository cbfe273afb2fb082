#pragma once

#include "abstract_policy.h"

#include <QElapsedTimer>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <functional>

class PolicyQueue;
class ReceiptJournal;
class StatusBoard;

// The document cycle both executor threads run: take a queued record, read
// and parse its cache file, hand each setting to its handler in ascending key
// order, wait for the results, report them for a server task, delete the
// cache file and the run's temporary files, then move on to a new document id.
// Subclasses fill the key table (addHandler) with their handlers and supply
// the texts of their own log lines.
class PolicyExecutor : public QThread, public AbstractPolicy
{
    Q_OBJECT
public:
    enum class WaitEnd { AllResults, TimeLimit, Stopped };

    // Fixed texts of the log lines that end a wait for results.
    struct WaitTexts
    {
        const char* allResults; // followed by the counter
        const char* total;      // followed by the total
        const char* timeLimit;  // followed by the elapsed milliseconds
    };

    // Each program's own log texts at the steps of the cycle.
    struct CycleTexts
    {
        const char* waiting;   // before each record
        const char* kept;      // stopped with results outstanding, followed by the cache path
        WaitTexts wait;
    };

    explicit PolicyExecutor(PolicyQueue* queue);
    ~PolicyExecutor() override;

    bool execPolicy(const PolicyInfo& info) override;
    // Applies one setting through its handler in the key table.
    void callFunction(QString key, QString value) override;

    // Ends the thread: also wakes a wait on an empty queue and ends the wait
    // for outstanding results, but never interrupts a handler call. Must be
    // called from another thread.
    void stop();
    // Lets the document that runs end as usual, results and report included,
    // then ends the thread; returns at once.
    void stopAfterCurrentDocument();
    // Whether stop() was called.
    bool isStopping() const;

    // Where a document's receipt is recorded before its cache file goes.
    void setJournal(ReceiptJournal* journal);

    // Where the document being executed and its results are shown.
    void setStatusBoard(StatusBoard* board);

    // Registers a file to delete when the current document ends. Any thread:
    // download callbacks add files from the main thread.
    void addTempFile(const QString& path);

    // The document the handlers are applying: "md5:" and the md5 the server
    // gave it, or "sha256:" and a digest of its content when it has none.
    // Empty while no document is applied. Executor thread.
    QString documentIdentity() const;
    // Whether a server task asked for the document being applied (timer
    // pulls and re-queued documents have none). Executor thread.
    bool isTaskDocument() const;
    // "task/job" of that server task, empty for a document without one.
    // Executor thread.
    QString documentTask() const;

signals:
    // `shown` is the result array as the log may show it (getShownResult).
    void execPolicyFinished(int taskId, int jobId, bool isSuccessed, const QString& result,
                            const QString& shown);

protected:
    void run() override;

    // Adds `key` to the key table: its settings go to `handler`, with the
    // slot of the setting's result (more slots it takes itself).
    template <class Executor>
    void addHandler(const QString& key, void (Executor::*handler)(const QString&, const ResultSlot&))
    {
        Executor* executor = static_cast<Executor*>(this);
        m_handlers.insert(key, [executor, handler](const QString& value, const ResultSlot& slot) {
            (executor->*handler)(value, slot);
        });
    }
    void resultRecorded(const QString& key, const QString& result, const QString& summary) override;
    // As the status board shows it to every user.
    QString shownResult(const QString& key, const QString& result,
                        const QString& summary) const override;
    // Waits until every result slot taken for the document has recorded,
    // more than limitMs have passed on the stopwatch, or stop() was called
    // (which ends the wait at once). Executor thread.
    WaitEnd waitForResults(const QElapsedTimer& stopwatch, qint64 limitMs, const WaitTexts& texts);
    // Called once a document is parsed, before its first handler.
    virtual void documentLoaded() {}

    virtual const CycleTexts& cycleTexts() const = 0;
    int m_execTimeout = 30; // minutes a document may take for its results

    enum class Step {
        Record,         // a record was taken from the queue
        DocumentStart,  // before the cache file is read
        NoDocument,     // the cache file is missing or empty
        HandlersCalled, // every handler was called; value: the number of settings
        WaitEnded,      // every result is in or the time limit passed
        Reported,       // the receipt was handed on; text: the result array
        CacheRemoved,   // value: whether the cache file was deleted
    };
    virtual void logStep(Step step, const PolicyInfo& info, int value = 0,
                         const QString& text = QString()) const = 0;

private:
    Q_DISABLE_COPY(PolicyExecutor)

    QMap<QString, QString> loadDocument(const PolicyInfo& info);
    void applySettings(const QMap<QString, QString>& settings);
    void endDocument();
    QStringList takeTempFiles();

    PolicyQueue* m_queue;
    ReceiptJournal* m_journal = nullptr;
    StatusBoard* m_status = nullptr;
    mutable QMutex m_stopMutex; // guards m_stopping
    bool m_stopping = false;
    QMutex m_tempFilesMutex;
    QStringList m_tempFiles;
    QString m_documentIdentity;
    bool m_taskDocument = false;
    QString m_documentTask;
    QMap<QString, std::function<void(const QString&, const ResultSlot&)>> m_handlers;
};
