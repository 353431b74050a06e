// How an upload ends, and the texts the user is shown for it.
#pragma once

enum UploadOutcome {
    Completed,
    ChecksumMismatch,
    NoFileName,
    FileNotReadable,
    OutOfMemory,
    PortNotOpened,
    Stopped,
};

// Message box text for a failure, or null for an outcome that shows none.
const char* OutcomeMessage(UploadOutcome outcome);

// Caption of that message box, or null.
const char* OutcomeCaption(UploadOutcome outcome);
