#pragma once

#include "usbconnectioninfo.h"
#include "usbdeviceinfo.h"

#include <QAtomicInt>
#include <QList>
#include <QRecursiveMutex>
#include <QSet>
#include <QString>

struct udev;

class UsbManagerPrivate
{
public:
    // Recursive: a check with incomplete facts applies its outcome directly,
    // inside the processing of the event that started it.
    mutable QRecursiveMutex m_mutex;
    bool m_inited = false;
    udev* m_udev = nullptr;
    QAtomicInt m_running{0};
    // Set by quit(), cleared when run() begins: ends the tools of the thread.
    QAtomicInt m_stopAsked{0};
    QAtomicInt m_ctrlStatus{0};
    // New devices are held at the kernel's interface authorization; when 0
    // they are detached after the check instead.
    QAtomicInt m_holding{0};
    // Devices were held at some time: a reply after control went off (and
    // released them) must not hold or detach anything.
    QAtomicInt m_heldOnce{0};
    bool m_holdUnavailableLogged = false;
    QList<UsbConnectionInfo> m_connDevList;
    bool m_diskManaged = false;
    bool m_mobileManaged = false;
    int m_allowed = 1;
    UsbDeviceInfo m_curDevice;
    // Block nodes of the current device already handled: repeated add events
    // may come interleaved (disk, partition, disk, partition), so comparing
    // with the last node alone would report a volume twice.
    QSet<QString> m_handledNodes;
};
