#pragma once

#include "usbconnectioninfo.h"
#include "usbdeviceinfo.h"

#include <QAtomicInt>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>

class QEventLoop;
struct udev;

class UsbManagerPrivate
{
public:
    // Held by each public entry point while it works on the state below;
    // the parts they call assume it is held and never take it again.
    mutable QMutex m_mutex;
    bool m_inited = false;
    udev* m_udev = nullptr;
    // The loop that waits for device events; only touched on the monitor's thread.
    QEventLoop* m_loop = nullptr;
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
    // The plug of the device at each bus id ("1-1"), counted up at every
    // plug: a whitelist reply acts only on the plug it was asked for. The
    // kernel numbers each plug anew (devnum); an add repeated by udev keeps it.
    struct Plug
    {
        quint64 plug = 0;
        QString devNum;
    };
    QHash<QString, Plug> m_plugs;
    quint64 m_lastPlug = 0;
    // What the server was asked about each device, by bus id: a grant names
    // the device in that form (the start-up scan asks with udev's rewritten
    // serial, events with the device's own).
    QHash<QString, UsbConnectionInfo> m_asked;
};
