#pragma once

#include <QString>

// Bounds of what a task receipt carries to the core client service. The
// system bus refuses (and the bus daemon disconnects the sender of) any
// message over its limit, 32 MiB by default; a receipt stays far below it.
class ReceiptBounds
{
public:
    // One setting's result text, in UTF-8 bytes: enough for the output a
    // server administrator reads, small enough that a document of a few
    // hundred settings stays within the receipt bound below uncut.
    static constexpr int kMaxResultBytes = 64 * 1024;
    // A whole receipt's result text, in UTF-8 bytes: an eighth of the bus's
    // default message limit, leaving room for the call's other arguments and
    // for a bus configured below the default.
    static constexpr int kMaxReceiptBytes = 4 * 1024 * 1024;

    // text cut to maxBytes of UTF-8 at a character boundary, ending in
    // "... [N bytes cut]"; unchanged when it fits.
    static QString cutText(const QString& text, int maxBytes = kMaxResultBytes);
    // A receipt's result text cut to kMaxReceiptBytes. A result array keeps
    // every setting's key; the longest texts are cut first, and only when the
    // keys alone are too many do the last results go, named by a final
    // {"receipt": "... [N results cut]"}. Any other text is cut as text.
    static QString cutReceipt(const QString& result, int maxBytes = kMaxReceiptBytes);

private:
    ReceiptBounds() = delete;
};
