// The result codes of the whole program: one numbering, 0 for success.
// Header only, so that every library can use it without linking anything.
#ifndef UPDATER_BASE_ERROR_CODES_H_
#define UPDATER_BASE_ERROR_CODES_H_

enum UpdateError : int {
  kOk = 0,
  kCrcError = 4,
  kParseError = 5,
  kReadError = 6,
  kWriteError = 7,
  kStringsNoMemory = 10,
  kArchiveNoMemory = 11,
  kPatchNoMemory = 12,
  kFileNoMemory = 13,
  kQuoteNoMemory = 14,
  kArchiveNotOpen = 20,
  kProductInfoError = 21,
  kChannelError = 22,
  kVersionError = 23,
  kNoInstallDir = 34,
  kDecompressError = 39,
  kEmptyError = 40,  // empty action list; archive entry of stored length 0
  kCorruptPatch = 41,
  kUnexpectedType = 42,         // also: wrong size of the file to patch; rmrfdir walk failed
  kStopSignal = 50,             // SIGTERM, SIGINT or SIGHUP ended the run
  kStagedIncomplete = 51,       // a replace request found no complete staged copy
  kRecoveryFailed = 52,         // an interrupted run could not be undone or finished
  kNoThread = 55,               // the update thread cannot be started
  kUnverifiedArchive = 60,      // no signature by a trusted key (unsigned, damaged, untrusted)
  kKeysFileError = 61,          // the trusted keys file cannot be read or holds no usable key
  kInstalledVersionError = 62,  // the installed version record cannot be read
  kApplicationMismatch = 63,    // the archive belongs to another application
  // The release feed (feed/feed.h).
  kFeedParseError = 64,          // not a feed: bad JSON, a missing or invalid member
  kFeedSignatureError = 65,      // no signature of the feed by a trusted key
  kFeedExpired = 66,             // the feed is past its expiry time
  kFeedOtherApplication = 67,    // the feed belongs to another application
  kFeedOtherChannel = 68,        // the feed is for another channel
  kFeedOlderThanInstalled = 69,  // the feed's newest release is older than the installed one
  // The update client's transfers and downloads.
  kTransferFailed = 70,    // no connection, TLS refused, or an HTTP error status (404)
  kTransferStalled = 71,   // connecting or receiving took longer than the timeouts allow
  kDownloadTooLong = 72,   // the server sent more bytes than announced
  kDownloadMismatch = 73,  // fewer bytes than announced, or another SHA-256
  kUpdaterNotRun = 74,     // the updater cannot be started or left no status
};

#endif  // UPDATER_BASE_ERROR_CODES_H_
