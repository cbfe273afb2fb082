#pragma once

#include <QString>
#include <QStringList>

// The kernel's USB interface authorization, through sysfs (below the sysroot).
//
// While whitelist control is on, every root hub's interface_authorized_default
// is 0: the interfaces of a newly attached device start unauthorized and no
// driver binds them. A udev rule of the package authorizes at once every
// interface the whitelist does not govern (keyboards, hubs, network, ...), so
// only storage and mobile devices wait for the server's answer. Holding and
// releasing a device writes the `authorized` file of each of its governed
// interfaces; a driver is probed again after a release. The defaults stay 0
// when qarg ends, so a stopped or crashed daemon leaves new storage held.
class UsbHold
{
public:
    // Interface classes the whitelist governs: mass storage, still image
    // (PTP/MTP) and vendor specific (MTP phones).
    static bool isGovernedClass(const QString& interfaceClass);

    // Root hubs ("usb1", "usb2", ...) that offer interface_authorized_default.
    static QStringList rootHubs();
    static bool isRootHub(const QString& busId);
    // Sets the default of every root hub. Returns how many could be written.
    static int setDefaults(bool authorized);
    static bool setDefault(const QString& rootHub, bool authorized);
    // How many root hubs hold new devices now.
    static int holdingRootHubs();

    // The bus id ("1-1.2") named by the last part of a sysfs or device path.
    static QString busIdOf(const QString& path);
    // The governed interfaces of a device ("1-1.2:1.0", ...), by bus id.
    static QStringList governedInterfaces(const QString& busId);
    static bool isAuthorized(const QString& interfaceName);

    enum Result { Done, NoInterface, WriteFailed };
    // Holds (authorized false) or releases the governed interfaces of the
    // device; a release also asks the kernel to probe their drivers.
    static Result setAuthorized(const QString& busId, bool authorized);

    // Devices with a governed interface that is not authorized, by bus id.
    static QStringList heldDevices();
    // The device's own ids and serial are these (whole sysfs values).
    static bool hasIds(const QString& busId, const QString& vendorId, const QString& productId,
                       const QString& serial);
    // Held devices with these ids, by bus id.
    static QStringList heldDevicesWith(const QString& vendorId, const QString& productId,
                                       const QString& serial);
    // Releases every held device. Returns how many were released.
    static int releaseAll();

    // The mark by which the udev rule holds the devices of root hubs that
    // appear while qarg does not run (later, or after a reboot).
    static void keepMark(bool holding);

    static QString devicesDir();
};
