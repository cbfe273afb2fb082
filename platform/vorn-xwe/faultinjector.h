#pragma once

#include "jsonstatefile.h"

#include <QHash>
#include <QString>

namespace xwe {

// Failures requested from outside: the faults file beside the state file
// ({"Op": {"status": N, "count": K}}, shared by every process) and the
// VORN_XWE_FAIL environment variable ("Op=N,Op2=M", this process only).
// Not thread-safe; the caller serialises.
class FaultInjector
{
public:
    explicit FaultInjector(const QString& faultsPath);

    // Status the operation must fail with now, 0 when it may run. Uses up one
    // counted failure of the faults file.
    int take(const QString& operation);

private:
    int fromEnvironment(const QString& operation);
    int fromFile(const QString& operation);

    JsonStateFile m_file;
    QString m_environmentText;
    QHash<QString, int> m_environmentFaults;
};

} // namespace xwe
