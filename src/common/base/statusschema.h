#pragma once

#include <QString>

// The status file the programs write for administrators and lumoctl reads:
// where each program keeps it and the keys it holds. Shared by qarg, qars and
// lumoctl, so that writer and reader never drift apart.
namespace vorn {
namespace status {

// Top level.
inline const QString kProgram = QStringLiteral("program");
inline const QString kPid = QStringLiteral("pid");
inline const QString kUser = QStringLiteral("user");
inline const QString kBackend = QStringLiteral("backend");
inline const QString kServer = QStringLiteral("server");
inline const QString kMachineId = QStringLiteral("machine_id");
inline const QString kLastPull = QStringLiteral("last_pull");   // object, see below
inline const QString kNextPull = QStringLiteral("next_pull");
inline const QString kExecuting = QStringLiteral("executing");  // object, see below
inline const QString kPolicy = QStringLiteral("policy");        // object, see below
inline const QString kOwedReceipts = QStringLiteral("owed_receipts");
inline const QString kUsbControl = QStringLiteral("usb_control");
inline const QString kUsbDevices = QStringLiteral("usb_devices"); // array of devices
inline const QString kUpdated = QStringLiteral("updated");

// Inside last_pull, executing and policy.
inline const QString kTaskId = QStringLiteral("task_id");
inline const QString kJobId = QStringLiteral("job_id");
inline const QString kTime = QStringLiteral("time");
inline const QString kOutcome = QStringLiteral("outcome"); // last_pull
inline const QString kMd5 = QStringLiteral("md5");         // last_pull
inline const QString kSince = QStringLiteral("since");     // executing
inline const QString kStarted = QStringLiteral("started"); // policy
inline const QString kFinished = QStringLiteral("finished"); // policy
inline const QString kSettings = QStringLiteral("settings"); // policy: array of settings

// A setting of the policy: key, value, result, time.
inline const QString kKey = QStringLiteral("key");
inline const QString kValue = QStringLiteral("value");
inline const QString kResult = QStringLiteral("result");

// A USB device: name, vendor_id, product_id, serial, decision, reason, time,
// and held_since while it is held.
inline const QString kName = QStringLiteral("name");
inline const QString kVendorId = QStringLiteral("vendor_id");
inline const QString kProductId = QStringLiteral("product_id");
inline const QString kSerial = QStringLiteral("serial");
inline const QString kDecision = QStringLiteral("decision");
inline const QString kReason = QStringLiteral("reason");
inline const QString kHeldSince = QStringLiteral("held_since");

// Paths, worked out when asked from VORN_SYSROOT, XDG_STATE_HOME and HOME as
// they are then.

// qarg's status file, "/run/qarg/status.json" (below the sysroot).
QString qargStatusPath();
// The same with root's whole result texts, "/run/qarg/status-detail.json".
QString qargDetailPath();

// A user's state directory: XDG_STATE_HOME when it is an absolute path, else
// ~/.local/state.
QString stateHome();
// The state directory of the user whose home is `home`, as it is without
// XDG_STATE_HOME.
QString defaultStateHome(const QString& home);
// qars's status file and its receipts still owed, below a state directory.
QString sessionStatusPath(const QString& stateHome);
QString sessionJournalPath(const QString& stateHome);

} // namespace status
} // namespace vorn
