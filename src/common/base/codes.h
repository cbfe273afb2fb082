#pragma once

// The numbers that cross to the server and the core client service, and the
// internal statuses that results are built from. One table, so that a code is
// never spelled differently in two places.
namespace vorn {
namespace code {

// Push message types (ServerMsgCame)
constexpr int kPushPolicyUpdate = 1100;
constexpr int kPushUsbOrder = 2000;

// Task receipts (ReplyTaskResult)
constexpr int kTaskReceived = 2001;
constexpr int kTaskDone = 2002;
constexpr int kTaskFailed = 2003;
constexpr int kBadPushMessage = -1;

// Task and job id of a record no server task asked for (timer pulls, re-queues)
constexpr int kNoTask = -1;

// Upload type of a USB connection record (UploadInfo)
constexpr int kUsbUploadType = 2004;

// Login limit: refusing local logins also ended the local SSH sessions
constexpr int kLocalSessionsEnded = 60006;

// USB connection statuses of a bind or unbind write
constexpr int kUsbConnOk = 0;
constexpr int kUsbConnOpenFailed = 2004;  // control file could not be opened
constexpr int kUsbConnQueueFailed = 2005; // write could not be queued
constexpr int kUsbConnWriteFailed = 2006; // the queued write completed with an error
constexpr int kUsbConnNoDevice = 2007;    // the path names no device; nothing written

} // namespace code
} // namespace vorn
