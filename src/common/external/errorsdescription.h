#pragma once

#include <QString>

// Turns a status of the platform adaption service into the text that policy
// handlers record: 0 is "success", anything else starts with "failed" and
// names the status.
class ErrorsDescription
{
public:
    static QString toErrorDescription(int status);
};
